// "Dynamic DNS": the list of "[DDNS <name>]" entries with their last
// outcome, and a dialog to add or edit one (its secret through a password
// field). Every change is written at once; see app/ddns/ddns_page_model.h.
#pragma once

#include <QDialog>
#include <QWidget>

#include "app/ddns/ddns_entry.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace zelmar {

class Core;
class DdnsPageModel;
class NumberField;

class CDdnsPage : public QWidget {
    Q_OBJECT
public:
    explicit CDdnsPage(Core& core, QWidget* parent = nullptr);
    ~CDdnsPage() override;
    void Reload();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Add();
    void Edit();
    void Remove();
    void ToggleEnabled();
    void UpdateButtons();
    std::string Selected() const;

    Core& core_;
    std::unique_ptr<DdnsPageModel> model_;
    QTreeWidget* list_;
    QPushButton* add_;
    QPushButton* edit_;
    QPushButton* remove_;
    QPushButton* enable_;
};

class CDdnsEntryDlg : public QDialog {
    Q_OBJECT
public:
    // adding: the name can be typed; otherwise it is the entry's own.
    CDdnsEntryDlg(DdnsPageModel& model, const DdnsEntry& entry, bool adding, QWidget* parent = nullptr);
    void accept() override;

private:
    void ProtocolChanged();

    DdnsPageModel& model_;
    bool adding_;
    QLineEdit* name_;
    QComboBox* protocol_;
    QLineEdit* hosts_;
    QLineEdit* server_;
    QLineEdit* zone_;
    QLineEdit* keyName_;
    QComboBox* algorithm_;
    QLineEdit* login_;
    QComboBox* records_;
    NumberField* ttl_;
    QLineEdit* caFile_;
    QLineEdit* secret_;
    QCheckBox* enabled_;
    QFormLayout* form_;
    QLabel* link_;  // the provider's note and where its secret is made
};

}  // namespace zelmar

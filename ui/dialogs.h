// The small windows of the program: "Add/Remove Programs", "SMTP
// Authentication", the About box with its link label, and "Zelmar Shutdown
// In Progress".
#pragma once

#include <QDialog>
#include <QLabel>
#include <memory>

class QBoxLayout;
class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace zelmar {

class Core;
class AddRemoveProgramsModel;

// The row of "OK" (and "&Cancel") at the foot of a dialog, put into layout.
// OK is the default button for Enter wherever the focus is; Cancel never
// takes that over (a Tab past it would otherwise make Enter cancel, and the
// entry typed would be lost).
QDialogButtonBox* AddOkButtons(QDialog* dialog, QBoxLayout* layout, bool withCancel = true);

// The product's web address (the Help menu's last item and the About box).
inline constexpr const char* kProductWebSite = "https://www.zelmar.example/";

// A static text that behaves like a web link: underlined, blue until it was
// followed, then purple; opens its address in the browser.
class CLinkLabel : public QLabel {
    Q_OBJECT
public:
    CLinkLabel(const QString& address, QWidget* parent = nullptr);
    bool visited() const { return visited_; }
    void Follow();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void UpdateColour();
    QString address_;
    bool visited_ = false;
};

class CAddRemoveProgramsDlg : public QDialog {
    Q_OBJECT
public:
    CAddRemoveProgramsDlg(Core& core, QWidget* parent = nullptr);
    ~CAddRemoveProgramsDlg() override;

    QListWidget* unmonitored;
    QListWidget* monitored;
    QPushButton* add;
    QPushButton* addAll;
    QPushButton* remove;
    QPushButton* removeAll;
    QComboBox* indicators;

    void accept() override;

private:
    void Show();
    std::unique_ptr<AddRemoveProgramsModel> model_;
};

class CSmtpAuthDlg : public QDialog {
    Q_OBJECT
public:
    CSmtpAuthDlg(Core& core, QWidget* parent = nullptr);
    QLineEdit* account;
    QLineEdit* password;
    void accept() override;

private:
    Core& core_;
};

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    CLinkLabel* link;
};

class CShutdownWindow : public QDialog {
    Q_OBJECT
public:
    explicit CShutdownWindow(QWidget* parent = nullptr);
};

}  // namespace zelmar

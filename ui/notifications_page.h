// "Notifications": the ways of telling about a change that were settings
// of the file only: the webhooks (a list with a dialog to add or edit one,
// its secret through a password field and kept where "SecretStore" says),
// the command hook with a test run, desktop notifications on or off, and
// where secrets are kept. Every change is written at once, like the
// "Dynamic DNS" page; "&Save" has nothing of this page's to collect.
#pragma once

#include <QDialog>
#include <QWidget>
#include <memory>
#include <string>

#include "app/notify/webhook.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace zelmar {

class Core;
class NumberField;
class WebhookPageModel;

class CNotificationsPage : public QWidget {
    Q_OBJECT
public:
    explicit CNotificationsPage(Core& core, QWidget* parent = nullptr);
    ~CNotificationsPage() override;
    void Reload();

    QTreeWidget* webhooks;
    QPushButton* add;
    QPushButton* edit;
    QPushButton* remove;
    QPushButton* sendTest;
    QLineEdit* command;
    QPushButton* testCommand;
    QCheckBox* desktopNotes;
    QComboBox* secretStore;
    // What the last test (of a webhook or the command) said.
    QLabel* testOutcome;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Add();
    void Edit();
    void Remove();
    void SendTest();
    void TestCommand();
    void UpdateButtons();
    void ShowOutcome(const QString& text);
    std::string Selected() const;

    Core& core_;
    std::unique_ptr<WebhookPageModel> model_;
    bool loading_ = false;
};

class CWebhookDlg : public QDialog {
    Q_OBJECT
public:
    CWebhookDlg(WebhookPageModel& model, const WebhookConfig& hook, bool adding, QWidget* parent = nullptr);
    void accept() override;

    QLineEdit* name;
    QLineEdit* url;
    QComboBox* method;
    QLineEdit* headers;
    QLineEdit* body;
    QLineEdit* contentType;
    NumberField* timeout;
    QLineEdit* caFile;
    QLineEdit* secret;
    QCheckBox* enabled;
    QCheckBox* onChangeOnly;
    // A notice of the last accept (a secret that went to the file).
    std::string notice;

private:
    WebhookPageModel& model_;
    bool adding_;
};

}  // namespace zelmar

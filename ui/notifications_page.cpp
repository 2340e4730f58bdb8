#include "ui/notifications_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/core/core.h"
#include "app/core/file_io.h"
#include "app/core/messages.h"
#include "app/core/secret_store.h"
#include "app/notify/webhook_page_model.h"
#include "app/notify/webhook_secret.h"
#include "ui/dialogs.h"
#include "ui/pages.h"
#include "ui/qt_text.h"

namespace zelmar {

namespace {

// The choices of "SecretStore", in the order of SecretStoreChoice.
constexpr const char* kStoreWords[] = {"auto", "keyring", "ini"};

}  // namespace

CNotificationsPage::CNotificationsPage(Core& core, QWidget* parent)
    : QWidget(parent), core_(core), model_(std::make_unique<WebhookPageModel>(core.ini(), core.scrambleKey(), core.secrets())) {
    webhooks = new QTreeWidget;
    webhooks->setHeaderLabels({"Name", "Method", "URL", "Enabled", "Last outcome"});
    webhooks->setRootIsDecorated(false);
    webhooks->setAccessibleName("Webhooks");
    webhooks->header()->setStretchLastSection(true);
    add = new QPushButton("&Add...");
    edit = new QPushButton("Ed&it...");
    remove = new QPushButton("Re&move");
    sendTest = new QPushButton("Se&nd Test");
    auto* hookButtons = new QVBoxLayout;
    for (QPushButton* b : {add, edit, remove, sendTest}) hookButtons->addWidget(b);
    hookButtons->addStretch();
    auto* hookGroup = new QGroupBox("Webhooks");
    auto* hookRow = new QHBoxLayout(hookGroup);
    hookRow->addWidget(webhooks, 1);
    hookRow->addLayout(hookButtons);

    command = new QLineEdit;
    command->setPlaceholderText("a program and its arguments; the addresses come in ZELMAR_... variables");
    testCommand = new QPushButton("&Test");
    auto* commandLabel = new QLabel("&Command after a change:");
    commandLabel->setBuddy(command);
    auto* commandRow = new QHBoxLayout;
    commandRow->addWidget(command, 1);
    commandRow->addWidget(testCommand);
    desktopNotes = new QCheckBox("Show &desktop notifications");
    secretStore = new QComboBox;
    secretStore->addItems({"the desktop keyring when there is one", "the desktop keyring only",
                           "the settings file, scrambled"});
    auto* storeLabel = new QLabel("&Keep passwords in:");
    storeLabel->setBuddy(secretStore);
    auto* form = new QFormLayout;
    form->addRow(commandLabel, commandRow);
    form->addRow(desktopNotes);
    form->addRow(storeLabel, secretStore);
    testOutcome = new QLabel;
    testOutcome->setWordWrap(true);
    testOutcome->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(hookGroup, 1);
    outer->addLayout(form);
    outer->addWidget(testOutcome);

    connect(add, &QPushButton::clicked, this, &CNotificationsPage::Add);
    connect(edit, &QPushButton::clicked, this, &CNotificationsPage::Edit);
    connect(remove, &QPushButton::clicked, this, &CNotificationsPage::Remove);
    connect(sendTest, &QPushButton::clicked, this, &CNotificationsPage::SendTest);
    connect(testCommand, &QPushButton::clicked, this, &CNotificationsPage::TestCommand);
    connect(webhooks, &QTreeWidget::itemSelectionChanged, this, &CNotificationsPage::UpdateButtons);
    connect(webhooks, &QTreeWidget::itemDoubleClicked, this, &CNotificationsPage::Edit);
    // Each setting is written as it is changed.
    connect(command, &QLineEdit::editingFinished, this, [this] {
        const std::string text = command->text().trimmed().toStdString();
        core_.EditSettings([&](Settings& s) { s.OnChangeCommand = text; });
        core_.ini().WriteString(kPreferences, "OnChangeCommand", text);
    });
    connect(desktopNotes, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        core_.EditSettings([&](Settings& s) { s.DesktopNotifications = on ? 1 : 0; });
        core_.ini().WriteString(kPreferences, "DesktopNotifications", on ? "1" : "0");
    });
    connect(secretStore, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (loading_ || index < 0 || index > 2) return;
        core_.ini().WriteString(kPreferences, kSecretStoreKey, kStoreWords[index]);
        ShowOutcome(Q(Text<Msg::SecretsMoveAtSave>()));
    });
}

CNotificationsPage::~CNotificationsPage() = default;

void CNotificationsPage::showEvent(QShowEvent* event) {
    Reload();
    QWidget::showEvent(event);
}

void CNotificationsPage::Reload() {
    loading_ = true;
    const std::string keep = Selected();
    webhooks->clear();
    for (const WebhookRow& r : model_->Rows()) {
        auto* item = new QTreeWidgetItem(
            webhooks, {Q(r.name), Q(r.method), Q(r.url), r.enabled ? "yes" : "no", Q(r.lastOutcome)});
        if (r.name == keep) item->setSelected(true);
    }
    for (int c = 0; c < 4; ++c) webhooks->resizeColumnToContents(c);
    const Settings s = core_.settings();
    if (!command->hasFocus()) command->setText(Q(s.OnChangeCommand));
    desktopNotes->setChecked(s.DesktopNotifications == 1);
    secretStore->setCurrentIndex(static_cast<int>(ReadSecretStoreChoice(core_.ini())));
    UpdateButtons();
    loading_ = false;
}

std::string CNotificationsPage::Selected() const {
    const QList<QTreeWidgetItem*> items = webhooks->selectedItems();
    return items.isEmpty() ? std::string() : items.front()->text(0).toStdString();
}

void CNotificationsPage::UpdateButtons() {
    const bool one = !Selected().empty();
    edit->setEnabled(one);
    remove->setEnabled(one);
    sendTest->setEnabled(one);
}

void CNotificationsPage::ShowOutcome(const QString& text) { testOutcome->setText(text); }

void CNotificationsPage::Add() {
    WebhookConfig fresh;
    fresh.timeoutSeconds = 0;
    CWebhookDlg dialog(*model_, fresh, true, this);
    if (dialog.exec() == QDialog::Accepted) ShowOutcome(Q(dialog.notice));
    Reload();
}

void CNotificationsPage::Edit() {
    const std::string name = Selected();
    if (name.empty()) return;
    CWebhookDlg dialog(*model_, model_->Load(name), false, this);
    if (dialog.exec() == QDialog::Accepted) ShowOutcome(Q(dialog.notice));
    Reload();
}

void CNotificationsPage::Remove() {
    const std::string name = Selected();
    if (name.empty()) return;
    if (QMessageBox::question(this, "Notifications", Q("Remove the webhook \"" + name + "\" and its secret?")) !=
        QMessageBox::Yes)
        return;
    model_->Remove(name);
    Reload();
}

// A test may wait for a server up to its time-out: it runs beside the
// window, and its outcome comes back to the page if the page is still there.
void CNotificationsPage::SendTest() {
    const std::string name = Selected();
    WebhookPageModel::TestRequest test;
    std::string error;
    if (!model_->PrepareTest(name, core_.settings().Timeout, test, error)) {
        ShowOutcome(Q(Text<Msg::WebhookTestNotSent>(error)));
        return;
    }
    // A relative CA file is one of the settings folder's, as the refresh
    // reads it: the test must trust what the refresh will trust.
    test.caFile = InFolder(core_.startDirectory(), test.caFile);
    ShowOutcome(Q(Text<Msg::WebhookTestSending>(name)));
    QPointer<CNotificationsPage> page(this);
    Host& host = core_.host();
    host.StartWorker([test, page, &host] {
        const std::string outcome = RunWebhookTest(test);
        host.PostToMain([page, outcome] {
            if (page) page->ShowOutcome(Q(outcome));
        });
    });
}

void CNotificationsPage::TestCommand() {
    const std::string line = command->text().trimmed().toStdString();
    const Settings s = core_.settings();
    ShowOutcome(Q(Text<Msg::CommandTestRunning>()));
    QPointer<CNotificationsPage> page(this);
    Host& host = core_.host();
    const std::string folder = core_.startDirectory();
    host.StartWorker([line, page, &host, timeout = s.Timeout, folder] {
        std::string said;
        for (const std::string& l : TestCommandHook(line, timeout, folder)) said += (said.empty() ? "" : "\n") + l;
        host.PostToMain([page, said] {
            if (page) page->ShowOutcome(Q(said));
        });
    });
}

// --- the webhook dialog ---

CWebhookDlg::CWebhookDlg(WebhookPageModel& model, const WebhookConfig& hook, bool adding, QWidget* parent)
    : QDialog(parent), model_(model), adding_(adding) {
    setWindowTitle(adding ? "Add Webhook" : "Edit Webhook");
    name = new QLineEdit(Q(hook.name));
    name->setReadOnly(!adding);
    url = new QLineEdit(Q(hook.url));
    url->setPlaceholderText("https://...; may hold %{secret} and the page's tokens");
    method = new QComboBox;
    method->addItems({"POST", "PUT", "GET"});
    method->setCurrentText(Q(hook.method.empty() ? std::string("POST") : hook.method));
    headers = new QLineEdit(Q(hook.headers));
    headers->setPlaceholderText("Name: value|Name: value");
    body = new QLineEdit(Q(hook.body));
    contentType = new QLineEdit(Q(hook.contentType));
    timeout = new NumberField(0, 3600, " seconds");
    timeout->Show(hook.timeoutSeconds);
    caFile = new QLineEdit(Q(hook.caFile));
    caFile->setPlaceholderText("the system's certificates");
    secret = new QLineEdit;
    secret->setEchoMode(QLineEdit::Password);
    secret->setMaxLength(static_cast<int>(kMaxWebhookSecretChars));
    secret->setPlaceholderText(adding ? "" : "unchanged");
    enabled = new QCheckBox("&Enabled");
    enabled->setChecked(hook.enabled);
    onChangeOnly = new QCheckBox("Only on an address change (and manual refre&shes)");
    onChangeOnly->setChecked(hook.onChangeOnly);

    auto* form = new QFormLayout;
    form->addRow("&Name", name);
    form->addRow("&URL", url);
    form->addRow("&Method", method);
    form->addRow("&Headers", headers);
    form->addRow("&Body", body);
    form->addRow("Content &type", contentType);
    form->addRow("Time&out (0: the program's)", timeout);
    form->addRow("C&A file", caFile);
    form->addRow("Sec&ret", secret);
    form->addRow("", enabled);
    form->addRow("", onChangeOnly);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(form);
    AddOkButtons(this, outer);
    setMinimumWidth(fontMetrics().horizontalAdvance('x') * 60);
}

void CWebhookDlg::accept() {
    WebhookConfig hook;
    hook.name = name->text().toStdString();
    hook.url = url->text().trimmed().toStdString();
    hook.method = method->currentText().toStdString();
    hook.headers = headers->text().toStdString();
    hook.body = body->text().toStdString();
    hook.contentType = contentType->text().trimmed().toStdString();
    if (timeout->touched() && !timeout->HoldsAllowedValue()) {
        QMessageBox::warning(this, "Notifications",
                             Q(Text<Msg::WebhookTimeoutRange>()));
        timeout->setFocus();
        return;
    }
    hook.timeoutSeconds = timeout->cleanText().toInt();
    hook.caFile = caFile->text().trimmed().toStdString();
    hook.enabled = enabled->isChecked();
    hook.onChangeOnly = onChangeOnly->isChecked();
    std::string newSecret = secret->text().toStdString();
    std::string error;
    const bool ok = model_.Save(hook, newSecret, adding_, error, notice);
    std::fill(newSecret.begin(), newSecret.end(), '\0');
    if (!ok) {
        QMessageBox::warning(this, "Notifications", Q(error));
        return;
    }
    QDialog::accept();
}

}  // namespace zelmar

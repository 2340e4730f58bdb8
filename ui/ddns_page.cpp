#include "ui/ddns_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/core/core.h"
#include "app/ddns/ddns_page_model.h"
#include "app/ddns/ddns_provider.h"
#include "ui/dialogs.h"
#include "ui/page_models.h"
#include "ui/pages.h"
#include "ui/qt_text.h"

namespace zelmar {

namespace {

std::vector<std::string> SplitHosts(const QString& text) {
    std::vector<std::string> out;
    for (const QString& part : text.split(',', Qt::SkipEmptyParts)) {
        const QString t = part.trimmed();
        if (!t.isEmpty()) out.push_back(t.toStdString());
    }
    return out;
}

}  // namespace

CDdnsPage::CDdnsPage(Core& core, QWidget* parent)
    : QWidget(parent), core_(core), model_(std::make_unique<DdnsPageModel>(core.ini(), core.scrambleKey())) {
    list_ = new QTreeWidget;
    list_->setHeaderLabels({"Name", "Protocol", "Host", "Enabled", "Last outcome"});
    list_->setRootIsDecorated(false);
    list_->setAccessibleName("Dynamic DNS entries");
    list_->header()->setStretchLastSection(true);
    add_ = new QPushButton("&Add...");
    edit_ = new QPushButton("Ed&it...");
    remove_ = new QPushButton("Re&move");
    enable_ = new QPushButton("Disa&ble");
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {add_, edit_, remove_, enable_}) buttons->addWidget(b);
    buttons->addStretch();
    auto* row = new QHBoxLayout(this);
    row->addWidget(list_, 1);
    row->addLayout(buttons);
    connect(add_, &QPushButton::clicked, this, &CDdnsPage::Add);
    connect(edit_, &QPushButton::clicked, this, &CDdnsPage::Edit);
    connect(remove_, &QPushButton::clicked, this, &CDdnsPage::Remove);
    connect(enable_, &QPushButton::clicked, this, &CDdnsPage::ToggleEnabled);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CDdnsPage::UpdateButtons);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &CDdnsPage::Edit);
}

CDdnsPage::~CDdnsPage() = default;

void CDdnsPage::showEvent(QShowEvent* event) {
    // The outcomes change with every refresh: read them whenever the page
    // comes into view.
    Reload();
    QWidget::showEvent(event);
}

void CDdnsPage::Reload() {
    const std::string keep = Selected();
    list_->clear();
    for (const DdnsRow& r : model_->Rows()) {
        auto* item = new QTreeWidgetItem(
            list_, {Q(r.name), Q(r.protocol), Q(r.hosts), r.enabled ? "yes" : "no", Q(r.lastOutcome)});
        if (r.name == keep) item->setSelected(true);
    }
    for (int c = 0; c < 4; ++c) list_->resizeColumnToContents(c);
    UpdateButtons();
}

std::string CDdnsPage::Selected() const {
    const QList<QTreeWidgetItem*> items = list_->selectedItems();
    return items.isEmpty() ? std::string() : items.front()->text(0).toStdString();
}

void CDdnsPage::UpdateButtons() {
    const QList<QTreeWidgetItem*> items = list_->selectedItems();
    for (QPushButton* b : {edit_, remove_, enable_}) b->setEnabled(!items.isEmpty());
    enable_->setText(!items.isEmpty() && items.front()->text(3) == "no" ? "Ena&ble" : "Disa&ble");
}

void CDdnsPage::Add() {
    DdnsEntry fresh;
    fresh.name.clear();
    CDdnsEntryDlg dlg(*model_, fresh, true, this);
    if (dlg.exec() == QDialog::Accepted) Reload();
}

void CDdnsPage::Edit() {
    const std::string name = Selected();
    if (name.empty()) return;
    CDdnsEntryDlg dlg(*model_, model_->Load(name), false, this);
    if (dlg.exec() == QDialog::Accepted) Reload();
}

void CDdnsPage::Remove() {
    const std::string name = Selected();
    if (name.empty()) return;
    if (QMessageBox::question(this, "Dynamic DNS", Q("Remove the entry \"" + name + "\" and its secret?")) !=
        QMessageBox::Yes)
        return;
    model_->Remove(name);
    Reload();
}

void CDdnsPage::ToggleEnabled() {
    const QList<QTreeWidgetItem*> items = list_->selectedItems();
    if (items.isEmpty()) return;
    model_->SetEnabled(items.front()->text(0).toStdString(), items.front()->text(3) == "no");
    Reload();
}

CDdnsEntryDlg::CDdnsEntryDlg(DdnsPageModel& model, const DdnsEntry& e, bool adding, QWidget* parent)
    : QDialog(parent), model_(model), adding_(adding) {
    setWindowTitle(adding ? "Add Dynamic DNS Entry" : "Edit Dynamic DNS Entry");
    name_ = new QLineEdit(Q(e.name));
    name_->setReadOnly(!adding);
    // The providers by the names users know them by; the item's data is the
    // catalogue's place, which is the entry's DdnsProtocol.
    protocol_ = new QComboBox;
    const auto providers = DdnsProviders();
    for (std::size_t i = 0; i < providers.size(); ++i)
        protocol_->addItem(Q(std::string(providers[i]->name) + "  (" + providers[i]->word + ")"), static_cast<int>(i));
    protocol_->setCurrentIndex(protocol_->findData(static_cast<int>(e.protocol)));
    link_ = new QLabel;
    link_->setOpenExternalLinks(true);
    link_->setWordWrap(true);
    std::string hosts;
    for (const std::string& h : e.hosts) hosts += (hosts.empty() ? "" : ", ") + h;
    hosts_ = new QLineEdit(Q(hosts));
    server_ = new QLineEdit(Q(e.server));
    zone_ = new QLineEdit(Q(e.zone));
    keyName_ = new QLineEdit(Q(e.keyName));
    algorithm_ = new QComboBox;
    algorithm_->addItems({"hmac-sha256", "hmac-sha512", "hmac-sha1"});
    algorithm_->setCurrentText(Q(e.keyAlgorithm));
    login_ = new QLineEdit(Q(e.login));
    records_ = new QComboBox;
    records_->addItems({"A", "AAAA", "A,AAAA"});
    records_->setCurrentIndex(e.wantA && e.wantAAAA ? 2 : e.wantAAAA ? 1 : 0);
    // A day at most as offered; a longer TTL written in the file by hand is
    // shown and kept unless the field is edited.
    ttl_ = new NumberField(1, 86400, " seconds");
    ttl_->Show(e.ttl);
    caFile_ = new QLineEdit(Q(e.caFile));
    secret_ = new QLineEdit;
    secret_->setEchoMode(QLineEdit::Password);
    secret_->setMaxLength(static_cast<int>(kMaxDdnsSecretChars));
    secret_->setPlaceholderText(adding ? "" : "unchanged");
    enabled_ = new QCheckBox("Ena&bled");
    enabled_->setChecked(e.enabled);

    auto* form = form_ = new QFormLayout;
    form->addRow("&Name", name_);
    form->addRow("&Provider", protocol_);
    form->addRow("", link_);
    form->addRow("&Host(s)", hosts_);
    form->addRow("&Server", server_);
    form->addRow("&Zone", zone_);
    form->addRow("&Key name", keyName_);
    form->addRow("Key &algorithm", algorithm_);
    form->addRow("&Login", login_);
    form->addRow("Rec&ords", records_);
    form->addRow("&TTL", ttl_);
    form->addRow("CA &file", caFile_);
    form->addRow("Sec&ret", secret_);
    form->addRow("", enabled_);
    connect(protocol_, &QComboBox::currentIndexChanged, this, &CDdnsEntryDlg::ProtocolChanged);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(form);
    AddOkButtons(this, outer);
    setMinimumWidth(fontMetrics().horizontalAdvance('x') * 60);
    ProtocolChanged();
}

void CDdnsEntryDlg::ProtocolChanged() {
    // Only the fields the chosen provider reads are shown, each with its
    // help; a hidden field keeps its text, so trying another provider loses
    // nothing.
    const DdnsProvider& p = ProviderOf(static_cast<DdnsProtocol>(protocol_->currentData().toInt()));
    const DdnsFields& f = p.fields;
    auto show = [this](QWidget* field, const char* help) {
        form_->setRowVisible(field, help != nullptr);
        field->setToolTip(help ? Q(help) : QString());
    };
    show(server_, f.server);
    show(zone_, f.zone);
    show(keyName_, f.keyName);
    show(algorithm_, f.keyName);
    show(login_, f.login);
    show(secret_, f.secret ? f.secret : "the secret");
    form_->setRowVisible(ttl_, f.ttl);
    form_->setRowVisible(caFile_, f.caFile);
    server_->setPlaceholderText(*p.server ? Q(p.server) : "host[:port]");
    login_->setPlaceholderText(f.login ? Q(f.login) : QString());
    QString text = Q(p.note).toHtmlEscaped();
    if (*p.tokenUrl) {
        const QString url = Q(p.tokenUrl).toHtmlEscaped();
        text += (text.isEmpty() ? "" : "<br>") + QString("Make the secret at <a href=\"%1\">%1</a>").arg(url);
    }
    link_->setText(text);
    link_->setVisible(!text.isEmpty());
    adjustSize();
}

void CDdnsEntryDlg::accept() {
    DdnsEntry e;
    e.name = name_->text().toStdString();
    e.protocol = static_cast<DdnsProtocol>(protocol_->currentData().toInt());
    e.hosts = SplitHosts(hosts_->text());
    e.server = server_->text().trimmed().toStdString();
    e.zone = zone_->text().trimmed().toStdString();
    e.keyName = keyName_->text().trimmed().toStdString();
    e.keyAlgorithm = algorithm_->currentText().toStdString();
    e.login = login_->text().trimmed().toStdString();
    e.wantA = records_->currentIndex() != 1;
    e.wantAAAA = records_->currentIndex() != 0;
    if (ttl_->touched() && !ttl_->HoldsAllowedValue()) {
        QMessageBox::warning(this, "Dynamic DNS",
                             Q(NumberRangeText(ttl_->allowedMinimum(), ttl_->allowedMaximum())) + " for the TTL.");
        ttl_->setFocus();
        return;
    }
    e.ttl = ttl_->touched() ? ttl_->cleanText().toInt() : ttl_->value();
    e.caFile = caFile_->text().trimmed().toStdString();
    e.enabled = enabled_->isChecked();
    std::string secret = secret_->text().toStdString();
    std::string error;
    const bool ok = model_.Save(e, secret, adding_, error);
    std::fill(secret.begin(), secret.end(), '\0');
    if (!ok) {
        QMessageBox::warning(this, "Dynamic DNS", Q(error));
        return;
    }
    QDialog::accept();
}

}  // namespace zelmar

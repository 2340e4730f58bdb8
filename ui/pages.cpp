#include "ui/pages.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QSignalBlocker>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "app/core/core.h"
#include "app/core/text.h"
#include "app/notify/certificate_pins.h"
#include "app/monitor/program_monitor.h"
#include "app/notify/address_history.h"
#include "ui/autostart.h"
#include "ui/dialogs.h"
#include "ui/history_view.h"
#include "ui/window_list_watcher.h"
#include "ui/qt_text.h"

namespace zelmar {

namespace {

std::string S(const QString& s) { return s.toStdString(); }

QLabel* Label(const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text);
    label->setBuddy(buddy);
    return label;
}

// A "..." button that opens a file chooser: as narrow as its text.
QPushButton* BrowseButton(const QString& accessibleName) {
    auto* button = new QPushButton("...");
    button->setAccessibleName(accessibleName);
    button->setFixedWidth(button->fontMetrics().horizontalAdvance("...") + 24);
    return button;
}

// The start directory is made current again after a file chooser.
void RestoreStartDirectory(Core& core) {
    if (!core.startDirectory().empty()) QDir::setCurrent(Q(core.startDirectory()));
}

}  // namespace

// --- NumberField ---

NumberField::NumberField(int minimum, int maximum, const QString& unit, QWidget* parent)
    : QSpinBox(parent), low_(minimum), high_(maximum) {
    setRange(minimum, maximum);
    setSuffix(unit);
    // As wide as the longest number and the unit, not stretched over the row.
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] {
        touched_ = true;
        emit edited();
    });
    connect(this, &QAbstractSpinBox::editingFinished, this, &NumberField::finished);
}

void NumberField::SetAllowedRange(int minimum, int maximum) {
    low_ = minimum;
    high_ = maximum;
    setRange(std::min(minimum, value()), std::max(maximum, value()));
}

void NumberField::Show(long stored) {
    const QSignalBlocker quiet(this);
    const long shown = std::clamp(stored, 0L, 999999999L);
    setRange(static_cast<int>(std::min<long>(low_, shown)), static_cast<int>(std::max<long>(high_, shown)));
    setValue(static_cast<int>(shown));
    touched_ = false;
    Keep();
}

void NumberField::ShowText(const std::string& stored) {
    const bool number = !stored.empty() && stored.size() <= 9 &&
                        std::all_of(stored.begin(), stored.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (number) {
        Show(std::stol(stored));
        return;
    }
    const QSignalBlocker quiet(this);
    setRange(low_, high_);
    clear();
    touched_ = false;
    Keep();
}

bool NumberField::ShownNumber(long& number) const {
    const QString text = cleanText();
    if (text.isEmpty() || text.size() > 9) return false;
    for (QChar c : text)
        if (c < '0' || c > '9') return false;
    number = text.toLong();
    return true;
}

bool NumberField::HoldsAllowedValue() const {
    long number = 0;
    return ShownNumber(number) && number >= low_ && number <= high_;
}

QValidator::State NumberField::validate(QString& input, int& pos) const {
    const QValidator::State state = QSpinBox::validate(input, pos);
    if (state != QValidator::Invalid) return state;
    // A number above the range, longer than the largest one too, may be
    // typed: it is refused at the field with the range said, rather than
    // held back key by key (70000 or 100000 for a port would otherwise
    // quietly become 7000 or 10000).
    QString text = input;
    if (!suffix().isEmpty() && text.endsWith(suffix())) text.chop(suffix().size());
    text = text.trimmed();
    const bool digits = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    return digits && text.size() <= kMaxTypedDigits ? QValidator::Intermediate : QValidator::Invalid;
}

QAbstractSpinBox::StepEnabled NumberField::stepEnabled() const {
    if (isReadOnly()) return StepNone;
    long from = 0;
    if (!ShownNumber(from)) return StepUpEnabled | StepDownEnabled;
    StepEnabled steps = StepNone;
    if (from < high_) steps |= StepUpEnabled;
    if (from > low_) steps |= StepDownEnabled;
    return steps;
}

void NumberField::stepBy(int steps) {
    // A step starts from what the field shows, typed or stored, and lands
    // within the range (a stored value outside it is left for the limit);
    // from an empty field it lands on the lower limit.
    long from = 0;
    const long to = ShownNumber(from) ? std::clamp(from + steps, static_cast<long>(low_), static_cast<long>(high_))
                                      : static_cast<long>(low_);
    setRange(low_, high_);
    setValue(static_cast<int>(to));
    selectAll();
    touched_ = true;
    emit edited();
    emit finished();
}

void NumberField::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && Refused()) {
        event->accept();
        emit finished();
        return;
    }
    QSpinBox::keyPressEvent(event);
}

void NumberField::focusOutEvent(QFocusEvent* event) {
    if (!Refused()) {
        QSpinBox::focusOutEvent(event);
        return;
    }
    // The editor's own leaving (cursor, selection) without the spin box's
    // putting back of its last value.
    QCoreApplication::sendEvent(lineEdit(), event);
    QWidget::focusOutEvent(event);
    if (event->reason() != Qt::PopupFocusReason) emit finished();
}

void NumberField::changeEvent(QEvent* event) {
    // Another window made active would put the last value back too.
    if (event->type() == QEvent::ActivationChange && Refused()) {
        QWidget::changeEvent(event);
        return;
    }
    QSpinBox::changeEvent(event);
}

// --- SettingsPage ---

void SettingsPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Load();
    loaded_ = true;
}

void SettingsPage::ShowProblemsInline(PageModel& model) {
    model.onFieldProblem = [this](const std::string& text) { emit messageRequested(Q(text)); };
}

void SettingsPage::MarkField(QWidget* field, bool refused) {
    auto* number = qobject_cast<NumberField*>(field);
    QWidget* text = number ? number->editor() : field;
    if (refused) {
        QPalette p = text->palette();
        p.setColor(QPalette::Text, QColor(0xc0, 0x1c, 0x28));
        text->setPalette(p);
        field->setFocus();
        if (number)
            number->selectAll();
        else if (auto* edit = qobject_cast<QLineEdit*>(field))
            edit->selectAll();
        refusedField_ = field;
        return;
    }
    if (refusedField_ != field) return;
    text->setPalette(QPalette());
    refusedField_ = nullptr;
    emit messageRequested(QString());
}

void SettingsPage::BindNumber(NumberField* field, const char* rangeText, std::function<bool(const std::string&)> commit,
                              std::function<void()> onEdit) {
    connect(field, &NumberField::edited, this, [this, onEdit] {
        editPending_ = true;
        if (onEdit)
            onEdit();
        else
            Changed();
    });
    connect(field, &NumberField::finished, this, [this, field, rangeText, commit] {
        if (checking_ || loading_ || !field->touched()) return;
        // Taken or refused, the field's value is settled: the window may now
        // compare the settings with the saved ones.
        editPending_ = false;
        checking_ = true;
        bool accepted = field->HoldsAllowedValue();
        if (!accepted)
            emit messageRequested(rangeText ? QString(rangeText)
                                            : Q(NumberRangeText(field->allowedMinimum(), field->allowedMaximum())));
        else
            accepted = commit(S(field->cleanText()));
        if (accepted) field->Keep();
        MarkField(field, !accepted);
        checking_ = false;
        emit modifiedChanged();
    });
}

void SettingsPage::BindText(QLineEdit* edit, std::function<void(const std::string&)> commit) {
    connect(edit, &QLineEdit::textEdited, this, [this] {
        editPending_ = true;
        Changed();
    });
    connect(edit, &QLineEdit::editingFinished, this, [this, edit, commit] {
        const std::string trimmed = TrimBlanks(S(edit->text()));
        if (Q(trimmed) != edit->text()) edit->setText(Q(trimmed));
        commit(trimmed);
        editPending_ = false;
        emit modifiedChanged();
    });
}

// --- FTP ---

CLocalSettings::CLocalSettings(Core& core, QWidget* parent) : SettingsPage(core, parent), model_(core) {
    ShowProblemsInline(model_);
    enableFtp = new QCheckBox("Enable FTP &Uploads");
    ftpOnIpChange = new QCheckBox("FTP on &IP change only");
    // Each label's own key, none taken twice on the page nor by the menu
    // bar (F, E, H) or the buttons (R, S, X).
    const char* texts[8] = {"Site &Name:",          "&Online Filename:", "Offline Filena&me:", "Remote Fi&lename:",
                            "FTP Server &Address:", "User I&D:",         "&Password:",         "FTP Por&t:"};
    for (int i = 0; i < 7; ++i) {
        fields[i] = new QLineEdit;
        labels[i] = Label(texts[i], fields[i]);
        const auto field = static_cast<FtpField>(i);
        BindText(fields[i], [this, field, i](const std::string& text) {
            if (!model_.CommitField(field, text)) {
                MarkField(fields[i], true);  // the text stays for the user to mend
                return;
            }
            MarkField(fields[i], false);
            if (Q(model_.Field(field)) != fields[i]->text())
                fields[i]->setText(Q(model_.Field(field)));  // the password as cut to its limit
        });
    }
    port = new NumberField(1, 65535);
    labels[7] = Label(texts[7], port);
    BindNumber(port, kPortRangeText,
               [this](const std::string& text) { return model_.CommitField(FtpField::Port, text); });
    fields[6]->setEchoMode(QLineEdit::Password);
    fields[6]->setMaxLength(kFtpPasswordMaxChars);
    pageUrl = new QLineEdit;
    pageUrl->setPlaceholderText("https://example.org/status.htm");
    pageUrl->setToolTip("After each upload the page is read from here and must show the new WAN address.");
    pageUrlLabel = Label("Read back from &web address:", pageUrl);
    BindText(pageUrl, [this](const std::string& text) { model_.SetPageUrl(text); });
    onlineBrowse = BrowseButton("Choose the online template");
    offlineBrowse = BrowseButton("Choose the offline template");

    auto* top = new QFormLayout;
    top->addRow(enableFtp);
    top->addRow(ftpOnIpChange);
    top->addRow(labels[0], fields[0]);
    // The pages: the templates made into the page, and its name on the site.
    auto* pagesBox = new QGroupBox("Pages");
    auto* pagesForm = new QFormLayout(pagesBox);
    for (int i = 1; i <= 2; ++i) {
        auto* row = new QHBoxLayout;
        row->addWidget(fields[i], 1);
        row->addWidget(i == 1 ? onlineBrowse : offlineBrowse);
        pagesForm->addRow(labels[i], row);
    }
    pagesForm->addRow(labels[3], fields[3]);
    pagesForm->addRow(pageUrlLabel, pageUrl);
    auto* serverBox = new QGroupBox("Server");
    auto* serverForm = new QFormLayout(serverBox);
    for (int i = 4; i < 7; ++i) serverForm->addRow(labels[i], fields[i]);
    serverForm->addRow(labels[7], port);
    // The page in clear (FTP), over SSH, or with TLS; the key file, CA file
    // and port of SFTP are set in the file.
    protocol = new QComboBox;
    protocol->addItems({"FTP", "SFTP"});
    security = new QComboBox;
    security->addItems({"None", "TLS when offered", "TLS required"});
    serverForm->addRow(Label("Proto&col:", protocol), protocol);
    serverForm->addRow(Label("FTP Securit&y:", security), security);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(top);
    outer->addWidget(pagesBox);
    outer->addWidget(serverBox);
    outer->addStretch();

    connect(enableFtp, &QCheckBox::clicked, this, [this](bool on) {
        model_.SetEnableFtp(on);
        UpdateEnabling();
        emit modifiedChanged();
    });
    connect(ftpOnIpChange, &QCheckBox::clicked, this, [this](bool on) {
        model_.SetFtpOnIpChangeOnly(on);
        emit modifiedChanged();
    });
    // Written with the page's other fields, when they are saved.
    connect(protocol, &QComboBox::activated, this, [this] {
        Changed();
        UpdateEnabling();
    });
    connect(security, &QComboBox::activated, this, [this] { Changed(); });
    connect(onlineBrowse, &QPushButton::clicked, this, [this] { Browse(FtpField::OnlineFile); });
    connect(offlineBrowse, &QPushButton::clicked, this, [this] { Browse(FtpField::OfflineFile); });
}

void CLocalSettings::Load() {
    loading_ = true;
    const Settings settings = core_.settings();
    const FtpPageSettings& s = FtpPageOf(settings);
    enableFtp->setChecked(s.EnableFTP == 1);
    ftpOnIpChange->setChecked(s.FTPOnIPChangeOnly == 1);
    // The limit holds back typing only: a longer stored password is shown
    // whole (a shorter limit would cut it, and the cut one be saved).
    const QString storedPassword = Q(model_.Field(FtpField::Password));
    fields[6]->setMaxLength(std::max(kFtpPasswordMaxChars, static_cast<int>(storedPassword.size())));
    for (int i = 0; i < 7; ++i) fields[i]->setText(Q(model_.Field(static_cast<FtpField>(i))));
    port->ShowText(model_.Field(FtpField::Port));
    // A value in the file that is none of these shows as the first (the
    // upload refuses it and says why); saving the page writes what is shown.
    protocol->setCurrentIndex(std::max(0, model_.SecureChoice("PageProtocol", {"ftp", "sftp"})));
    security->setCurrentIndex(std::max(0, model_.SecureChoice("FTPSecurity", {"none", "explicit", "require"})));
    pageUrl->setText(Q(s.PageURL));
    UpdateEnabling();
    loading_ = false;
}

void CLocalSettings::Collect() {
    for (int i = 0; i < 7; ++i) model_.CommitField(static_cast<FtpField>(i), S(fields[i]->text()));
    // The port as shown, unless it was changed to one that is refused.
    if (port->touched() && port->HoldsAllowedValue()) model_.CommitField(FtpField::Port, S(port->cleanText()));
    model_.SetSecureChoice("PageProtocol", {"ftp", "sftp"}, protocol->currentIndex());
    model_.SetSecureChoice("FTPSecurity", {"none", "explicit", "require"}, security->currentIndex());
    model_.SetPageUrl(S(pageUrl->text()));
}

void CLocalSettings::UpdateEnabling() {
    const bool on = model_.ftpEnabled();
    ftpOnIpChange->setEnabled(on);
    for (int i = 1; i < 7; ++i) fields[i]->setEnabled(on);
    port->setEnabled(on);
    protocol->setEnabled(on);
    // TLS is FTP's: SFTP is encrypted by itself.
    security->setEnabled(on && protocol->currentIndex() == 0);
    for (int i = 1; i < 8; ++i) labels[i]->setEnabled(on);
    pageUrl->setEnabled(on);
    pageUrlLabel->setEnabled(on);
    onlineBrowse->setEnabled(on);
    offlineBrowse->setEnabled(on);
}

void CLocalSettings::Browse(FtpField field) {
    const QString path = QFileDialog::getOpenFileName(
        this, field == FtpField::OnlineFile ? "Online Filename" : "Offline Filename", QString(),
        "HTML Files (*.html *.shtml *.htm);;Txt Files (*.txt);;All Files (*)");
    RestoreStartDirectory(core_);
    if (path.isEmpty()) return;
    QLineEdit* edit = fields[static_cast<int>(field)];
    edit->setText(path);
    model_.CommitField(field, S(path));
    Changed();
}

// --- Advanced Options ---

COptionsPage::COptionsPage(Core& core, QWidget* parent) : SettingsPage(core, parent), model_(core) {
    ShowProblemsInline(model_);
    updateOnStart = new QCheckBox("&Update on startup");
    updateOnShut = new QCheckBox("Update on shu&tdown");
    minOnStartup = new QCheckBox("&Minimize on startup");
    notifyErrorOnShut = new QCheckBox("Error &notify on shutdown");
    suppressError = new QCheckBox("Su&ppress error messages");
    updateOnNaIp = new QCheckBox("Update on \"N/&A\" WAN IP");
    enableLogging = new QCheckBox("Enable L&ogging");
    startAtLogin = new QCheckBox("Start &Zelmar when I log in");
    startupDelay = new NumberField(0, 9999, " seconds");
    refreshInterval = new NumberField(0, 9999, " minutes");
    timeout = new NumberField(0, 9999, " seconds");
    maxLog = new NumberField(0, 999, " days");
    logFile = new QLineEdit;
    logBrowse = BrowseButton("Choose the log file");
    viewLog = new QPushButton("&View Log");
    refreshOnNetworkChange = new QCheckBox("Refresh &quickly when the network changes");
    wanUrl = new QLineEdit;
    wanUrl->setPlaceholderText("built-in echo services");
    wanUrl6 = new QLineEdit;
    wanUrl6->setPlaceholderText("built-in echo services");
    wanCheckUrls = new QLineEdit;
    wanCheckUrls->setPlaceholderText("further pages, separated by blanks");
    // Tried in order until one gives an address; the tip names the choices.
    const char* sourcesTip = "In order, separated by commas: web (the echo pages), router (asked over UPnP or "
                             "NAT-PMP), interface:NAME (its global address), command:PROGRAM (its first line)";
    wanSource = new QLineEdit;
    wanSource->setPlaceholderText("web");
    wanSource->setToolTip(sourcesTip);
    wanSource6 = new QLineEdit;
    wanSource6->setPlaceholderText("web");
    wanSource6->setToolTip(sourcesTip);
    startDelimiter = new QLineEdit;
    endDelimiter = new QLineEdit;

    auto* checks = new QGroupBox("Start and Exit");
    auto* checkGrid = new QGridLayout(checks);
    checkGrid->addWidget(updateOnStart, 0, 0);
    checkGrid->addWidget(updateOnShut, 1, 0);
    checkGrid->addWidget(minOnStartup, 2, 0);
    checkGrid->addWidget(notifyErrorOnShut, 0, 1);
    checkGrid->addWidget(suppressError, 1, 1);
    checkGrid->addWidget(updateOnNaIp, 2, 1);
    checkGrid->addWidget(startAtLogin, 3, 0, 1, 2);
    checkGrid->addWidget(refreshOnNetworkChange, 4, 0, 1, 2);

    // One line per label; the unit is in the field.
    auto* timing = new QGroupBox("Timing");
    auto* numbers = new QFormLayout(timing);
    numbers->addRow(Label("&Delay initial update:", startupDelay), startupDelay);
    numbers->addRow(Label("Refresh &interval:", refreshInterval), refreshInterval);
    numbers->addRow(Label("&Connection timeout:", timeout), timeout);

    auto* logBox = new QGroupBox("Log");
    auto* logForm = new QFormLayout(logBox);
    logForm->addRow(enableLogging);
    maxLogLabel = Label("Pur&ge logs after:", maxLog);
    logForm->addRow(maxLogLabel, maxLog);
    logFileLabel = Label("Log Fi&lename:", logFile);
    auto* logRow = new QHBoxLayout;
    logRow->addWidget(logFile, 1);
    logRow->addWidget(logBrowse);
    logForm->addRow(logFileLabel, logRow);
    auto* viewRow = new QHBoxLayout;
    viewRow->addStretch();
    viewRow->addWidget(viewLog);
    logForm->addRow(viewRow);

    auto* wanBox = new QGroupBox("WAN IP address");
    auto* wanForm = new QFormLayout(wanBox);
    wanForm->addRow(Label("IPv&4 echo page:", wanUrl), wanUrl);
    auto* delimiters = new QHBoxLayout;
    delimiters->addWidget(startDelimiter);
    delimiters->addWidget(Label("and &before:", endDelimiter));
    delimiters->addWidget(endDelimiter);
    wanForm->addRow(Label("Address follo&ws:", startDelimiter), delimiters);
    wanForm->addRow(Label("Cross-chec&k pages:", wanCheckUrls), wanCheckUrls);
    wanForm->addRow(Label("IPv&6 echo page:", wanUrl6), wanUrl6);
    wanForm->addRow(Label("Tr&y IPv4 from:", wanSource), wanSource);
    wanForm->addRow(Label("Try IPv6 from (&j):", wanSource6), wanSource6);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(checks);
    outer->addWidget(timing);
    outer->addWidget(wanBox);
    outer->addWidget(logBox);
    outer->addStretch();

    const std::pair<QCheckBox*, int Settings::*> flags[] = {
        {updateOnStart, &Settings::IsUpdateOnStart},     {updateOnShut, &Settings::IsUpdateOnShut},
        {minOnStartup, &Settings::IsMinOnStartup},       {notifyErrorOnShut, &Settings::NotifyErrorOnShut},
        {suppressError, &Settings::SuppressError},       {updateOnNaIp, &Settings::UpdateOnNAIP},
        {enableLogging, &Settings::IsLogging},           {refreshOnNetworkChange, &Settings::RefreshOnNetworkChange},
    };
    for (const auto& [box, flag] : flags) {
        connect(box, &QCheckBox::clicked, this, [this, flag = flag](bool on) {
            model_.SetFlag(flag, on);
            UpdateEnabling();
            emit modifiedChanged();
        });
    }
    for (const auto& [field, member] : Numbers()) {
        if (field == refreshInterval) continue;
        BindNumber(field, nullptr, [this, member = member](const std::string& text) {
            model_.CommitNumber(member, text);
            return true;
        });
    }
    // The interval's floor is the model's to say (its range follows the
    // echo service in use); a new interval re-arms the timer at once.
    BindNumber(
        refreshInterval, nullptr, [this](const std::string& text) { return model_.CommitRefreshInterval(text); },
        [this] {
            model_.RefreshIntervalEdited();
            emit modifiedChanged();
        });
    BindText(logFile, [this](const std::string& text) { model_.SetLogFilename(text); });
    connect(logBrowse, &QPushButton::clicked, this, [this] {
        const QString path =
            QFileDialog::getOpenFileName(this, "Log Filename", QString(), "Log Files (*.log);;All Files (*)");
        if (path.isEmpty()) return;
        logFile->setText(path);
        model_.SetLogFilename(S(path));
        Changed();
    });
    connect(viewLog, &QPushButton::clicked, this, &COptionsPage::viewLogRequested);
    // A desktop setting, not one of "Zelmar.ini": written at once.
    connect(startAtLogin, &QCheckBox::clicked, this, [this](bool on) {
        std::error_code ec;
        const std::string program = std::filesystem::read_symlink("/proc/self/exe", ec).string();
        const std::string problem = SetAutostart(AutostartFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")),
                                                 on, program, core_.startDirectory());
        startAtLogin->setChecked(problem.empty() ? on : !on);
        if (!problem.empty()) emit messageRequested(Q(problem));
    });
    for (const auto& [edit, field] : WanFields())
        BindText(edit, [this, field = field](const std::string& text) { model_.SetText(field, text); });
}

std::vector<std::pair<QLineEdit*, std::string Settings::*>> COptionsPage::WanFields() {
    return {{wanUrl, &Settings::WANIPURL},
            {wanUrl6, &Settings::WANIPURL6},
            {wanCheckUrls, &Settings::WANCheckURLs},
            {wanSource, &Settings::WANSource},
            {wanSource6, &Settings::WANSource6},
            {startDelimiter, &Settings::StartDelimiter},
            {endDelimiter, &Settings::EndDelimiter}};
}

std::vector<std::pair<NumberField*, int Settings::*>> COptionsPage::Numbers() {
    return {{startupDelay, &Settings::InitStartupDelay},
            {refreshInterval, &Settings::RefreshIntv},
            {timeout, &Settings::Timeout},
            {maxLog, &Settings::MaxLog}};
}

void COptionsPage::Load() {
    loading_ = true;
    const Settings s = core_.settings();
    updateOnStart->setChecked(s.IsUpdateOnStart == 1);
    updateOnShut->setChecked(s.IsUpdateOnShut == 1);
    minOnStartup->setChecked(s.IsMinOnStartup == 1);
    notifyErrorOnShut->setChecked(s.NotifyErrorOnShut == 1);
    suppressError->setChecked(s.SuppressError == 1);
    updateOnNaIp->setChecked(s.UpdateOnNAIP == 1);
    enableLogging->setChecked(s.IsLogging == 1);
    startAtLogin->setChecked(
        AutostartEnabled(AutostartFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"))));
    const auto [low, high] = model_.RefreshIntervalRange();
    refreshInterval->SetAllowedRange(low, high);
    for (const auto& [field, member] : Numbers()) field->Show(s.*member);
    logFile->setText(Q(s.LogFilename));
    refreshOnNetworkChange->setChecked(s.RefreshOnNetworkChange == 1);
    for (const auto& [edit, field] : WanFields()) edit->setText(Q(s.*field));
    UpdateEnabling();
    loading_ = false;
}

void COptionsPage::Collect() {
    // A number is taken when the user changed it to one within its range: a
    // stored one is kept as it is, however far outside.
    for (const auto& [field, member] : Numbers())
        if (field != refreshInterval && field->touched() && field->HoldsAllowedValue())
            model_.CommitNumber(member, S(field->cleanText()));
    model_.SetLogFilename(S(logFile->text()));
    for (const auto& [edit, field] : WanFields()) model_.SetText(field, TrimBlanks(S(edit->text())));
    // A save from the menu or its key leaves the focus in the field: the
    // interval typed there is saved too, not dropped with the page's mark.
    if (refreshInterval->touched() && refreshInterval->HoldsAllowedValue())
        model_.CollectRefreshInterval(S(refreshInterval->cleanText()));
}

void COptionsPage::UpdateEnabling() {
    const bool on = model_.LoggingControlsEnabled();
    for (QWidget* w : std::initializer_list<QWidget*>{logFileLabel, logFile, logBrowse, maxLogLabel, maxLog, viewLog})
        w->setEnabled(on);
}

// --- Status ---

CRemotePage::CRemotePage(Core& core, QWidget* parent) : SettingsPage(core, parent) {
    hostMessages = new QPlainTextEdit;
    hostMessages->setReadOnly(true);
    hostMessages->setAccessibleName("Host Messages");
    hostMessages->setMaximumHeight(hostMessages->fontMetrics().lineSpacing() * 4 + 12);
    lanAddress = new QLabel;
    wanAddress = new QLabel;
    lan6Address = new QLabel;
    wan6Address = new QLabel;
    lastRefreshed = new QLabel;
    nextRefresh = new QLabel;
    auto* form = form_ = new QFormLayout;
    form->addRow(Label("Host &Messages:", hostMessages), hostMessages);
    form->addRow(Label("&LAN IP Address:", lanAddress), lanAddress);
    form->addRow(Label("&WAN IP Address:", wanAddress), wanAddress);
    form->addRow(Label("LAN IPv&6 Address:", lan6Address), lan6Address);
    form->addRow(Label("WAN IP&v6 Address:", wan6Address), wan6Address);
    form->addRow(Label("&Time last refreshed:", lastRefreshed), lastRefreshed);
    form->addRow(Label("&Next refresh time:", nextRefresh), nextRefresh);
    form->setRowVisible(lan6Address, false);
    form->setRowVisible(wan6Address, false);
    // Values to read and copy, not to edit: selectable text, named for a
    // screen reader by its label.
    for (QLabel* value : {lanAddress, wanAddress, lan6Address, wan6Address, lastRefreshed, nextRefresh}) {
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        value->setAccessibleName(qobject_cast<QLabel*>(form->labelForField(value))->text().remove('&').chopped(1));
    }
    hostMessages->setFrameShape(QFrame::NoFrame);
    hostMessages->viewport()->setBackgroundRole(QPalette::Window);
    history = new AddressHistoryView(core.startDirectory() + "/" + kHistoryFileName);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(form);
    outer->addWidget(history, 1);
}

void CRemotePage::Load() {
    if (isVisible()) history->Reload();
    const StatusPage& p = core_.statusPage();
    hostMessages->setPlainText(Q(p.hostMessages));
    // Blank before the first refresh has ended, "N/A" for what it could not
    // find.
    const AddressSet& a = p.addresses;
    const bool refreshed = !p.lastRefreshed.empty();
    lanAddress->setText(refreshed ? Q(a.lan.Shown()) : QString());
    // The router's own address beside it, when the router was asked: the
    // two differ behind a second router or a VPN.
    const std::string router = core_.ini().GetString(kIPAddress, "LastRouterWANIP");
    const std::string wanShown = a.wan.Shown() + (router.empty() ? "" : "   (router: " + router + ")");
    wanAddress->setText(refreshed ? Q(wanShown) : QString());
    const bool ipv6 = a.lan6.known() || a.wan6.known();
    lan6Address->setText(Q(a.lan6.Shown()));
    wan6Address->setText(Q(a.wan6.Shown()));
    form_->setRowVisible(lan6Address, ipv6);
    form_->setRowVisible(wan6Address, ipv6);
    lastRefreshed->setText(Q(p.lastRefreshed));
    nextRefresh->setText(Q(p.nextRefresh));
}

void CRemotePage::showEvent(QShowEvent* event) {
    shown_ = true;
    history->Reload();
    SettingsPage::showEvent(event);
}

// --- Program Monitor ---

CProcessMonitor::CProcessMonitor(Core& core, QWidget* parent)
    : SettingsPage(core, parent), model_(core), windows_(new WindowListWatcher(this)) {
    auto* group = new QGroupBox("Monitored Programs");
    trigger = new QCheckBox("&Trigger notification on status change");
    list = new QTreeWidget;
    list->setAccessibleName("Monitored Programs");
    list->setRootIsDecorated(false);
    list->setHeaderLabels({"Program Tag", "Program Window Name", "Status"});
    const int unit = fontMetrics().averageCharWidth();
    list->setColumnWidth(0, unit * 80 / 4 * 1);
    list->setColumnWidth(1, unit * 180 / 4);
    list->setColumnWidth(2, unit * 70 / 4);
    addRemove = new QPushButton("&Add/Remove...");
    auto* box = new QVBoxLayout(group);
    box->addWidget(trigger);
    box->addWidget(list, 1);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(addRemove);
    box->addLayout(row);
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(group);

    connect(windows_, &WindowListWatcher::changed, this, &CProcessMonitor::UpdateStatuses);
    connect(trigger, &QCheckBox::clicked, this, [this](bool on) {
        core_.EditSettings([&](Settings& s) { s.TriggerProgramStatusUpdate = on ? 1 : 0; });
        Changed();
    });
    connect(addRemove, &QPushButton::clicked, this, &CProcessMonitor::OpenAddRemove);
}

void CProcessMonitor::Load() { trigger->setChecked(core_.settings().TriggerProgramStatusUpdate == 1); }

void CProcessMonitor::FillList() {
    list->clear();
    for (const ProgramPageRow& r : ProgramPageRows(core_))
        list->addTopLevelItem(new QTreeWidgetItem(QStringList{Q(r.tag), Q(r.title), Q(r.status)}));
}

void CProcessMonitor::UpdateStatuses() {
    const std::vector<ProgramPageRow> rows = ProgramPageRows(core_);
    if (static_cast<int>(rows.size()) != list->topLevelItemCount()) {
        FillList();
        return;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) list->topLevelItem(static_cast<int>(i))->setText(2, Q(rows[i].status));
}

void CProcessMonitor::showEvent(QShowEvent* event) {
    if (!shownOnce_) FillList();
    shownOnce_ = true;
    SettingsPage::showEvent(event);
    // The status column follows the desktop's windows while it can be seen;
    // a hidden page listens to nothing.
    UpdateStatuses();
    windows_->SetActive(true);
}

void CProcessMonitor::hideEvent(QHideEvent* event) {
    windows_->SetActive(false);
    SettingsPage::hideEvent(event);
}

void CProcessMonitor::OpenAddRemove() {
    CAddRemoveProgramsDlg dialog(core_, this);
    if (dialog.exec() != QDialog::Accepted) return;
    list->clear();
    CheckProgramStatuses(core_);
    FillList();
}

// --- Proxy/Firewall ---

CProxyPage::CProxyPage(Core& core, QWidget* parent) : SettingsPage(core, parent), model_(core) {
    useProxy = new QCheckBox("Ena&ble Proxy settings");
    host = new QLineEdit;
    httpPort = new NumberField(1, 65535);
    ftpPort = new NumberField(1, 65535);
    user = new QLineEdit;
    account = new QLineEdit;
    password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    passive = new QCheckBox("&Passive Mode");
    hostLabel = Label("Proxy/Firewall H&ost:", host);
    httpPortLabel = Label("H&TTP proxy port:", httpPort);
    ftpPortLabel = Label("FTP prox&y port:", ftpPort);
    userLabel = Label("&User ID:", user);
    accountLabel = Label("&Account", account);
    passwordLabel = Label("Pass&word", password);

    auto* serverBox = new QGroupBox("Proxy Server");
    auto* serverForm = new QFormLayout(serverBox);
    serverForm->addRow(hostLabel, host);
    serverForm->addRow(httpPortLabel, httpPort);
    // What the FTP firewall is told, for the logon types that log on to it.
    auto* logonBox = new QGroupBox("Firewall Logon");
    auto* logonForm = new QFormLayout(logonBox);
    logonForm->addRow(ftpPortLabel, ftpPort);
    logonForm->addRow(userLabel, user);
    logonForm->addRow(accountLabel, account);
    logonForm->addRow(passwordLabel, password);

    const char* types[9] = {"None",
                            "SITE hostname",
                            "USER after logon",
                            "Proxy OPEN",
                            "Transparent",
                            "USER with no logon",
                            "USER FireID@Remotehost",
                            "USER RemoteID@remoteHost fire ID",
                            "USER remoteID@fireID@remoteHost"};
    auto* group = new QGroupBox("FTP Logon Type");
    logonGroup = group;
    auto* grid = new QGridLayout(group);
    auto* buttons = new QButtonGroup(this);
    for (int i = 0; i < 9; ++i) {
        logonTypes[i] = new QRadioButton(types[i]);
        buttons->addButton(logonTypes[i], i);
        grid->addWidget(logonTypes[i], i % 5, i / 5);
    }

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(useProxy);
    outer->addWidget(serverBox);
    outer->addWidget(group);
    outer->addWidget(logonBox);
    outer->addWidget(passive);
    outer->addStretch();

    connect(useProxy, &QCheckBox::clicked, this, [this](bool on) {
        useProxy->setChecked(model_.SetUseProxy(on));
        UpdateEnabling();
        emit modifiedChanged();
    });
    connect(buttons, &QButtonGroup::idClicked, this, [this](int id) {
        model_.SetLogonType(id);
        UpdateEnabling();
        emit modifiedChanged();
    });
    connect(passive, &QCheckBox::clicked, this, [this](bool on) {
        model_.SetPassive(on);
        emit modifiedChanged();
    });
    BindText(host, [this](const std::string& t) { model_.SetHost(t); });
    BindText(user, [this](const std::string& t) { model_.SetUser(t); });
    BindText(account, [this](const std::string& t) { model_.SetAccount(t); });
    BindText(password, [this](const std::string& t) { model_.SetPassword(t); });
    // The ports are written on every change; while the field shows no port
    // the one it had before stands (a port is never left half typed).
    const std::pair<NumberField*, void (ProxyPageModel::*)(const std::string&)> ports[] = {
        {httpPort, &ProxyPageModel::SetHttpPort}, {ftpPort, &ProxyPageModel::SetFtpPort}};
    for (const auto& [field, set] : ports) {
        const auto write = [this, field = field, set = set] {
            (model_.*set)(S(field->HoldsAllowedValue() ? field->cleanText() : field->keptText()));
        };
        BindNumber(
            field, kPortRangeText,
            [write](const std::string&) {
                write();
                return true;
            },
            [this, write] {
                write();
                Changed();
            });
    }
}

void CProxyPage::Load() {
    loading_ = true;
    const Settings settings = core_.settings();
    const FtpPageSettings& s = FtpPageOf(settings);
    useProxy->setChecked(s.UseProxy == 1);
    host->setText(Q(s.ProxyAddress));
    httpPort->ShowText(s.HTTPProxyPort);
    ftpPort->Show(s.FTPProxyPort);
    user->setText(Q(s.ProxyUser));
    account->setText(Q(s.ProxyAccount));
    password->setText(Q(s.ProxyPass));
    if (s.LogonType >= 0 && s.LogonType < 9) logonTypes[s.LogonType]->setChecked(true);
    passive->setChecked(s.ProxyPassive == 1);
    UpdateEnabling();
    loading_ = false;
}

void CProxyPage::Collect() {
    model_.SetHost(S(host->text()));
    model_.SetUser(S(user->text()));
    model_.SetAccount(S(account->text()));
    model_.SetPassword(S(password->text()));
}

void CProxyPage::UpdateEnabling() {
    const bool hostOn = model_.ControlEnabled(ProxyControl::Host);
    hostLabel->setEnabled(hostOn);
    host->setEnabled(hostOn);
    httpPortLabel->setEnabled(model_.ControlEnabled(ProxyControl::HttpPort));
    httpPort->setEnabled(model_.ControlEnabled(ProxyControl::HttpPort));
    logonGroup->setEnabled(model_.ControlEnabled(ProxyControl::LogonTypes));
    passive->setEnabled(model_.ControlEnabled(ProxyControl::Passive));
    const bool loginOn = model_.ControlEnabled(ProxyControl::User);
    for (QWidget* w : std::initializer_list<QWidget*>{userLabel, user, accountLabel, account, passwordLabel, password,
                                                      ftpPortLabel, ftpPort})
        w->setEnabled(loginOn);
}

// --- E-Mail Options ---

CEmailPage::CEmailPage(Core& core, QWidget* parent) : SettingsPage(core, parent), model_(core) {
    ShowProblemsInline(model_);
    enableMail = new QCheckBox("Enable IP Address E&mailing");
    mailOnIpChange = new QCheckBox("E-Mail on &IP change only");
    server = new QLineEdit;
    from = new QLineEdit;
    toButton = new QRadioButton("&To:");
    bccButton = new QRadioButton("&BCC:");
    recipients = new QLineEdit;
    recipients->setMaxLength(kRecipientsMaxChars);
    recipients->setPlaceholderText("(Separate recipients with semi-colons)");
    // Named as the field it is, not by its hint.
    recipients->setAccessibleName("Recipients");
    subject = new QLineEdit;
    messageFile = new QLineEdit;
    messageBrowse = BrowseButton("Choose the mail message file");
    port = new NumberField(1, 65535);
    attachment = new QCheckBox("Send Message as &attachment");
    smtpAuth = new QCheckBox("My SMTP server requires a&uthentication");
    authSettings = new QPushButton("Setti&ngs...");
    secureSmtp = new QCheckBox("Use Se&cure SMTP");

    // The server and how to reach it; then the message and who gets it.
    auto* serverBox = new QGroupBox("Mail Server");
    auto* serverForm = new QFormLayout(serverBox);
    serverForm->addRow(Label("SMTP Mail Ser&ver:", server), server);
    serverForm->addRow(Label("Server &Port:", port), port);
    auto* authRow = new QHBoxLayout;
    authRow->addWidget(smtpAuth);
    authRow->addWidget(authSettings);
    authRow->addStretch();
    serverForm->addRow(authRow);
    serverForm->addRow(secureSmtp);
    // A mail server whose unverifiable certificate changed is refused until
    // the user accepts the new one here.
    acceptCertificate = new QPushButton("Accept New Certificate");
    acceptCertificate->setToolTip("Forget the remembered certificate of this mail server");
    auto* certificateRow = new QHBoxLayout;
    certificateRow->addWidget(acceptCertificate);
    certificateRow->addStretch();
    serverForm->addRow(certificateRow);
    connect(acceptCertificate, &QPushButton::clicked, this, [this] { AcceptNewMailServerCertificate(core_); });

    auto* messageBox = new QGroupBox("Message");
    auto* form = new QFormLayout(messageBox);
    form->addRow(Label("Fr&om:", from), from);
    auto* kind = new QHBoxLayout;
    kind->addWidget(toButton);
    kind->addWidget(bccButton);
    auto* recipientBox = new QVBoxLayout;
    recipientBox->addWidget(recipients);
    auto* note = new QLabel("(Separate recipients &with semi-colons)");
    note->setBuddy(recipients);
    recipientBox->addWidget(note);
    auto* kindWidget = new QWidget;
    kindWidget->setLayout(kind);
    kind->setContentsMargins(0, 0, 0, 0);
    form->addRow(kindWidget, recipientBox);
    form->addRow(Label("Sub&ject:", subject), subject);
    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(messageFile, 1);
    fileRow->addWidget(messageBrowse);
    form->addRow(Label("Mail Messa&ge File:", messageFile), fileRow);
    form->addRow(attachment);

    auto* outer = new QVBoxLayout(this);
    outer->addWidget(enableMail);
    outer->addWidget(mailOnIpChange);
    outer->addWidget(serverBox);
    outer->addWidget(messageBox);
    outer->addStretch();

    connect(enableMail, &QCheckBox::clicked, this, [this](bool on) {
        model_.SetEnableMail(on);
        UpdateEnabling();
        emit modifiedChanged();
    });
    const std::pair<QCheckBox*, int Settings::*> flags[] = {{mailOnIpChange, &Settings::EmailOnIPChangeOnly},
                                                            {attachment, &Settings::IsMsgAttachment},
                                                            {smtpAuth, &Settings::EnableSMTPAuth}};
    for (const auto& [box, flag] : flags) {
        connect(box, &QCheckBox::clicked, this, [this, flag = flag](bool on) {
            model_.SetFlag(flag, on);
            UpdateEnabling();
            emit modifiedChanged();
        });
    }
    connect(toButton, &QRadioButton::clicked, this, [this] {
        core_.EditSettings([](Settings& s) { s.IsMailTo = 0; });
        Changed();
    });
    connect(bccButton, &QRadioButton::clicked, this, [this] {
        core_.EditSettings([](Settings& s) { s.IsMailTo = 1; });
        Changed();
    });
    connect(secureSmtp, &QCheckBox::clicked, this, [this](bool on) {
        model_.SetSecureSmtp(on);
        port->Show(model_.port());
        emit modifiedChanged();
    });
    BindText(server, [this](const std::string& t) { model_.SetText(&Settings::EmailServer, t); });
    BindText(from, [this](const std::string& t) { model_.SetText(&Settings::EmailFrom, t); });
    BindText(recipients, [this](const std::string& t) {
        model_.SetText(&Settings::EmailTo, t);
        // A new list is cut to its limit: the field shows what was kept.
        const QString kept = Q(core_.settings().EmailTo);
        if (kept != recipients->text()) recipients->setText(kept);
    });
    BindText(subject, [this](const std::string& t) { model_.SetText(&Settings::EmailSubject, t); });
    BindText(messageFile, [this](const std::string& t) { model_.SetText(&Settings::EmailInput, t); });
    BindNumber(port, kPortRangeText, [this](const std::string& text) { return model_.CommitPort(text); });
    connect(messageBrowse, &QPushButton::clicked, this, [this] {
        QFileDialog dialog(this, "Mail Message File");
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
        const QString path = dialog.selectedFiles().first();
        messageFile->setText(path);
        model_.SetText(&Settings::EmailInput, S(path));
        Changed();
    });
    connect(authSettings, &QPushButton::clicked, this, [this] {
        CSmtpAuthDlg dialog(core_, this);
        dialog.exec();
    });
}

void CEmailPage::Load() {
    loading_ = true;
    const Settings s = core_.settings();
    enableMail->setChecked(s.EnableMail == 1);
    mailOnIpChange->setChecked(s.EmailOnIPChangeOnly == 1);
    server->setText(Q(s.EmailServer));
    from->setText(Q(s.EmailFrom));
    (s.IsMailTo == 1 ? bccButton : toButton)->setChecked(true);
    // As the FTP password: a longer stored list is shown and kept whole.
    const QString storedRecipients = Q(s.EmailTo);
    recipients->setMaxLength(std::max(kRecipientsMaxChars, static_cast<int>(storedRecipients.size())));
    recipients->setText(storedRecipients);
    subject->setText(Q(s.EmailSubject));
    messageFile->setText(Q(s.EmailInput));
    port->Show(s.EmailServerPort);
    attachment->setChecked(s.IsMsgAttachment == 1);
    smtpAuth->setChecked(s.EnableSMTPAuth == 1);
    secureSmtp->setChecked(s.EnableSecureSMTP == 1);
    UpdateEnabling();
    loading_ = false;
}

void CEmailPage::Collect() {
    model_.SetText(&Settings::EmailServer, S(server->text()));
    model_.SetText(&Settings::EmailFrom, S(from->text()));
    model_.SetText(&Settings::EmailTo, S(recipients->text()));
    model_.SetText(&Settings::EmailSubject, S(subject->text()));
    model_.SetText(&Settings::EmailInput, S(messageFile->text()));
    if (port->touched() && port->HoldsAllowedValue()) model_.CommitPort(S(port->cleanText()));
}

void CEmailPage::UpdateEnabling() {
    const bool on = model_.ControlsEnabled();
    for (QWidget* w : findChildren<QWidget*>())
        if (w != enableMail) w->setEnabled(on);
    authSettings->setEnabled(model_.SettingsButtonEnabled());
}

}  // namespace zelmar

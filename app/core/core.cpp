#include "app/core/core.h"
#include "app/core/file_io.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdint>

#include "app/core/event_log.h"
#include "app/core/messages.h"
#include "net/default_timeout.h"

namespace zelmar {

Core::Core(Host& host, std::string startDirectory, std::string settingsFile, std::string scrambleKey)
    : host_(host),
      startDirectory_(std::move(startDirectory)),
      ini_(std::move(settingsFile)),
      scrambleKey_(std::move(scrambleKey)),
      secrets_(ini_, scrambleKey_, MakeSecretServiceKeyring()) {}

void Core::LoadOrCreateSettings() {
    Settings loaded;
    // Values out of range, said once here.
    std::vector<StatusMessage> notes;
    if (ini_.Unreadable()) {
        // Writing the first-run values now would replace every setting the
        // user has: keep the file as it is and say why nothing works.
        MessageBoxRequest box;
        box.text = Text<Msg::SettingsUnreadable>(ini_.path(), ini_.readErrorText());
        box.caption = "Zelmar";
        box.icon = MbIcon::Stop;
        host_.MessageBox(box);
    } else if (!LoadSettings(ini_, loaded, scrambleKey_, &notes)) {
        // No settings file at all: a first run.
        if (!WriteDefaultSettings(ini_, scrambleKey_)) {
            MessageBoxRequest box;
            box.text = Text<Msg::SettingsUnwritable>(ini_.path(), std::strerror(errno));
            box.caption = "Zelmar";
            box.icon = MbIcon::Stop;
            host_.MessageBox(box);
        }
        loaded = Settings{};
        LoadSettings(ini_, loaded, scrambleKey_, &notes);
    }
    // The passwords kept in the desktop keyring come from there.
    std::vector<std::string> lines;
    // The keyring's time for this load and the refresh that follows it.
    StartKeyringRun();
    keyringRunFresh_ = true;
    if (!ini_.Unreadable()) {
        const bool inFile = ReadSettingSecrets(secrets_, loaded, lines);
        std::vector<SecretId> ids = EntrySecretIds(ini_);
        const std::vector<SecretId> edited = PartSecretIds(loaded);
        ids.insert(ids.end(), edited.begin(), edited.end());
        ids.push_back(SmtpSecretId(loaded.EmailServer, loaded.EmailAccount));
        bool inKeyring = false;
        for (const SecretId& id : ids)
            inKeyring = inKeyring ||
                        EqualsNoCase(TrimBlanks(ini_.GetString(id.section, id.MarkerKey())), kSecretInKeyring);
        if (std::string notice = secrets_.StartupNotice(inFile, inKeyring); !notice.empty()) lines.push_back(notice);
    }
    CommitSettingsParts(loaded);
    {
        std::lock_guard<std::mutex> lock(settingsMutex_);
        settings_ = std::move(loaded);
    }
    for (const StatusMessage& note : notes) DisplayAndLog(note);
    for (const std::string& line : lines) DisplayAndLog(Message<Msg::SecretStoreLine>(line));
}

void Core::Initialise(bool startMinimised) {
    startMinimised_ = startMinimised;
    LoadOrCreateSettings();
    manualOwed_ = false;
    firstTickSlot_ = ArmTimer(1);
}

MbAnswer Core::MessageBox(const MessageBoxRequest& request) {
    MbAnswer answer = request.defaultAnswer;
    host_.SendToMain([&] { answer = host_.MessageBox(request); });
    return answer;
}

MbAnswer Core::ErrorBox(const MessageBoxRequest& request) {
    if (settings().SuppressError == 1) return request.defaultAnswer;
    return MessageBox(request);
}

int Core::ArmTimer(long long ms) {
    // A negative interval wraps to a huge one, as an unsigned timer period
    // would; the host caps it.
    if (ms < 0) ms = static_cast<long long>(static_cast<std::uint32_t>(ms));
    if (ms > 0x7FFFFFFF) ms = 0x7FFFFFFF;
    if (host_.SetTimer(IDT_TIMER_0, std::chrono::milliseconds(ms))) return IDT_TIMER_0;
    MessageBoxRequest box;
    box.text = Text<Msg::TimerUnavailable>();
    box.caption = "IDT_TIMER_0";
    box.systemModal = true;
    ErrorBox(box);
    return 0;
}

void Core::StopTimer(int slot) {
    if (host_.KillTimer(slot)) return;
    MessageBoxRequest box;
    box.text = Text<Msg::TimerNotStopped>(slot);
    ErrorBox(box);
}

void Core::PagesChanged() { host_.StatusPageChanged(page_); }

void Core::OnTimer(int t) {
    const Settings s = settings();
    if (t == startupDelaySlot_) {
        StopTimer(startupDelaySlot_);
        startupDelaySlot_ = 0;
        if (s.IsUpdateOnStart == 1) {
            OweStartupRefresh();
            if (s.RefreshIntv < 1)
                RefreshNow();
            else
                ArmRefreshTimer(s.RefreshIntv);
        } else {
            ArmRefreshTimer(s.RefreshIntv);
        }
    }
    if (t == firstTickSlot_) {
        host_.ShowMainWindow(s.IsMinOnStartup == 1 || startMinimised_);
        if (firstTickSlot_ != 0) StopTimer(firstTickSlot_);
        firstTickSlot_ = 0;
        startupDelaySlot_ = ArmTimer(static_cast<long long>(s.InitStartupDelay) * 1000);
        page_.nextRefresh = s.RefreshIntv != 0
                                ? TimeDisplay(host_.Now() + std::chrono::seconds(s.InitStartupDelay))
                                : kNotScheduled;
        PagesChanged();
    }
    // The slots share one identifier, so the refresh slot armed by the
    // start-up delay above fires in this very tick: that is what starts the
    // first refresh right after the delay.
    if (t == refreshSlot_) RefreshNow();
}

void Core::ArmRefreshTimer(int minutes) {
    if (minutes != 0) {
        if (refreshSlot_ != 0) StopTimer(refreshSlot_);
        refreshSlot_ = 0;
        refreshSlot_ = ArmTimer(static_cast<long long>(minutes) * 60000);
    } else {
        if (refreshSlot_ != 0) StopTimer(refreshSlot_);
        page_.nextRefresh = kNotScheduled;
        PagesChanged();
    }
}

void Core::ManualRefreshCommand() {
    manualOwed_ = true;
    RefreshNow();
}

RefreshTrigger Core::NextTrigger() const {
    if (manualOwed_) return RefreshTrigger::Manual;
    if (startupOwed_) return RefreshTrigger::Startup;
    return RefreshTrigger::Timer;
}

void Core::SendOnlineChannelTried() {
    host_.SendToMain([this] { startupOwed_ = false; });
}

std::chrono::seconds Core::RefreshBudget() {
    if (services_.TimeBudget) return services_.TimeBudget(*this);
    return std::chrono::seconds(TimeoutOrDefault(settings().Timeout));
}

void Core::LoadSettingsAndRefresh(bool manual) {
    // Held only until the refresh has started: a worker it starts keeps the
    // batch open until it has stored what it stores.
    IniBatch batch(ini_);
    LoadOrCreateSettings();
    if (manual)
        ManualRefreshCommand();
    else
        RefreshNow();
}

void Core::RefreshNow() {
    // A worker is "in progress" only from its step 5 on; until then it is
    // still looking up addresses, and a second worker must not start beside
    // it, so a running worker counts as in progress too.
    if (state_.TransferInProgress == 0 && !WorkerRunning()) {
        // What this refresh stores (the program statuses here, the
        // addresses on the worker) reaches the settings file in one write,
        // once both sides have let go of the batch.
        auto storeBatch = std::make_shared<IniBatch>(ini_);
        // Each refresh may wait for the keyring again, once; the first one
        // shares the time of the load just before it.
        if (!keyringRunFresh_) StartKeyringRun();
        keyringRunFresh_ = false;
        state_.OnlineState = 0;
        CommitPageEdits();
        RefreshStart start;
        start.trigger = NextTrigger();
        if (services_.CheckProgramStatuses) start.programStatusChanged = services_.CheckProgramStatuses(*this);
        PinRefreshSettings();
        StartCountedWorker([this, storeBatch, start] { PublishOnline(storeBatch, start); });
        host_.RefreshProgramMonitorPage();
    }

    // The stored interval wins over one edited but not saved.
    const long stored = ini_.GetInt(kPreferences, "RefreshIntv", 0);
    int before = 0, maintainer = 0;
    EditSettings([&](Settings& s) {
        before = s.RefreshIntv;
        maintainer = s.MaintainerServiceFlag;
        s.RefreshIntv = static_cast<int>(stored);
    });
    if (stored != before) {
        const int clamped = ClampRefreshInterval(stored, maintainer);
        EditSettings([&](Settings& s) { s.RefreshIntv = clamped; });
        ArmRefreshTimer(clamped);
        intervalEdited_ = false;
        CommitPageEdits();
    }
}

bool Core::CheckLocalSettings() {
    PinRefreshSettings();
    if (!services_.IncompleteSettings) return true;
    const std::vector<StatusMessage> lines = services_.IncompleteSettings(*this);
    for (const StatusMessage& line : lines) DisplayAndLog(line);
    return lines.empty();
}

void Core::StartCountedWorker(std::function<void()> work) {
    ++workersRunning_;
    host_.StartWorker([this, work = std::move(work)] {
        work();
        --workersRunning_;
    });
}

void Core::PublishOnline(std::shared_ptr<IniBatch> storeBatch, RefreshStart start) {
    if (state_.TransferInProgress != 0) return;
    if (services_.Refresh) {
        services_.Refresh(*this, std::move(storeBatch), start);
        return;
    }
    storeBatch.reset();
    PostStatusMessage(Message(Msg::FtpUnavailable));
    EndUpload(false);
}

void Core::FinishOnline(const AddressSet& found, RefreshTrigger trigger) {
    state_.TransferInProgress = 0;
    // OnlineState before the notice: its handling picks the tray picture.
    state_.OnlineState = 1;
    host_.SendToMain([this, found, trigger] { ShowOnline(found, trigger); });
    SendRefreshEnabled(true);
}

void Core::EndUpload(bool success, const AddressSet& found, RefreshTrigger trigger) {
    state_.TransferInProgress = 0;
    if (success) {
        state_.OnlineState = 1;
        host_.SendToMain([this, found, trigger] { ShowOnline(found, trigger); });
    }
    SendRefreshEnabled(true);
}

void Core::ShowOnline(const AddressSet& found, RefreshTrigger trigger) {
    ShowAddresses(found);
    // A manual refresh that ended online is no longer owed, and it keeps
    // the time of the next scheduled one.
    const bool manual = trigger == RefreshTrigger::Manual;
    if (manual) manualOwed_ = false;
    lastMessage_ = OnlineNotice();
    Show(lastMessage_, manual);
    CommitPageEdits();
}

void Core::PostStatusMessage(StatusMessage message) {
    // The line travels by value; the blocking send keeps the lines of one
    // worker in the order they were raised.
    host_.SendToMain([this, message = std::move(message)] { HandleStatusMessage(message); });
}

void Core::RefreshVerdict(bool wanFailed) {
    if (!verdict_ || *verdict_) verdict_ = wanFailed;
    if (verdictListener_) verdictListener_(wanFailed);
}

void Core::SetRefreshVerdictListener(std::function<void(bool)> listener) { verdictListener_ = std::move(listener); }

void Core::SendRefreshEnabled(bool enabled) {
    host_.SendToMain([this, enabled] { host_.SetRefreshEnabled(enabled); });
}

void Core::SendShutdownWindow(bool visible) {
    host_.SendToMain([this, visible] { host_.ShowShutdownWindow(visible); });
}

void Core::SendRestoreMainWindow() {
    host_.SendToMain([this] { host_.RestoreMainWindow(); });
}

void Core::SendClose() {
    host_.SendToMain([this] { Close(); });
}

void Core::SendExitPublicationFailed() {
    host_.SendToMain([this] { OnExitPublicationFailed(); });
}

void Core::SendExitRequest() {
    host_.SendToMain([this] { OnExitRequest(); });
}

void Core::Close() {
    if (closed_) return;
    closed_ = true;
    host_.CloseMainWindow();
}

namespace {

MessageBoxRequest Question(const std::string& text, const char* caption, MbButtons buttons, MbIcon icon,
                           MbAnswer defaultAnswer) {
    MessageBoxRequest box;
    box.text = text;
    box.caption = caption;
    box.buttons = buttons;
    box.icon = icon;
    box.defaultAnswer = defaultAnswer;
    return box;
}

MessageBoxRequest SaveQuestion() {
    return Question(Text<Msg::SaveQuestion>(), "Exit Zelmar", MbButtons::YesNoCancel, MbIcon::Question,
                    MbAnswer::Yes);
}

}  // namespace

// Shows the Status page and asks whether to leave despite the failed
// upload; Yes sets ExitAnyway.
bool Core::AskExitAnyway() {
    host_.ShowMainWindow(false);
    host_.ShowStatusPage();
    const MessageBoxRequest box = Question(Text<Msg::ExitAnywayQuestion>(), "Zelmar Error",
                                           MbButtons::YesNo, MbIcon::Warning, MbAnswer::Yes);
    if (host_.MessageBox(box) != MbAnswer::Yes) return false;
    state_.ExitAnyway = 1;
    return true;
}

ExitOutcome Core::RequestExit() {
    if (host_.SaveEnabled()) {
        const MbAnswer answer = host_.MessageBox(SaveQuestion());
        if (answer == MbAnswer::Cancel) return ExitOutcome::Stayed;
        if (answer == MbAnswer::Yes) SaveSettings();
    }
    CommitPageEdits();
    if (state_.OnlineState != 0) {
        if (state_.TransferInProgress != 0) {
            const MessageBoxRequest box =
                Question(Text<Msg::TransferQuestion>(), "Exit Zelmar",
                         MbButtons::YesNo, MbIcon::Question, MbAnswer::No);
            if (host_.MessageBox(box) != MbAnswer::Yes) return ExitOutcome::Stayed;
            Close();
            return ExitOutcome::Closed;
        }
        if (settings().IsUpdateOnShut == 1) {
            host_.ShowMainWindow(true);
            if (CheckLocalSettings()) {
                StartCountedWorker([this] {
                    const int result = services_.PublishOffline ? services_.PublishOffline(*this) : 1;
                    if (!services_.PublishOffline) SendExitRequest();
                    // A failed exit publication goes to the exit's failure
                    // handler, so that "NotifyErrorOnShut" decides between
                    // asking and closing.
                    if (result == -1) SendExitPublicationFailed();
                });
                return ExitOutcome::PublishingOffline;
            }
            if (!AskExitAnyway()) return ExitOutcome::Stayed;
        }
    }
    Close();
    return ExitOutcome::Closed;
}

void Core::OnExitRequest() {
    // Here Cancel no longer stops the exit: the offline page is already out.
    if (host_.SaveEnabled() && host_.MessageBox(SaveQuestion()) == MbAnswer::Yes) SaveSettings();
    Close();
}

void Core::OnExitPublicationFailed() {
    DisplayAndLog(lastMessage_);
    if (settings().NotifyErrorOnShut != 1) {
        exitFailed_ = true;
        OnExitRequest();
        return;
    }
    if (!AskExitAnyway()) return;
    exitFailed_ = true;
    Close();
}

bool Core::OnEndSession() {
    if (settings().IsUpdateOnShut != 1) return true;
    // A refresh still looking up its addresses has not set
    // TransferInProgress yet, but it is a transfer in progress all the same.
    if (WorkerRunning()) return false;
    const int result = services_.PublishOffline ? services_.PublishOffline(*this) : 1;
    return result != -1;
}

void Core::HandleStatusMessage(const StatusMessage& message) {
    lastMessage_ = message;
    DisplayAndLog(message);
    CommitPageEdits();
}

void Core::DisplayAndLog(const StatusMessage& m) { Show(m, false); }

void Core::Show(const StatusMessage& m, bool keepNextRefresh) {
    const Settings s = settings();
    page_.hostMessages = m.DisplayText();
    std::string text = page_.hostMessages;
    if (m.IsOnlineNotice()) {
        const AddressSet& a = page_.addresses;
        text += Text<Msg::OnlineAddresses>(a.lan.Shown(), a.wan.Shown());
        // The IPv6 pair follows only on a machine that has one of them, so
        // the notice of an IPv4-only machine stays as it always was.
        if (a.lan6.known() || a.wan6.known()) text += Text<Msg::OnlineAddresses6>(a.lan6.Shown(), a.wan6.Shown());
        const auto now = host_.Now();
        page_.lastRefreshed = TimeDisplay(now);
        if (!keepNextRefresh)
            page_.nextRefresh =
                s.RefreshIntv != 0 ? TimeDisplay(now + std::chrono::minutes(s.RefreshIntv)) : kNotScheduled;
    }
    host_.StatusLine(m, text);
    if (!EventLogWrite(text, LogSettings{s.IsLogging, InFolder(startDirectory_, s.LogFilename), s.MaxLog}, host_)) {
        page_.hostMessages = kLogErrorText;
        // Shown as it stands: not classified and not logged.
        host_.StatusLine(Message(Msg::LogError), kLogErrorText);
    }
    PagesChanged();
    host_.SetTrayOnline(state_.OnlineState == 1);
}

void Core::SaveSettings() {
    // One save is one write of the settings file, made at once even while a
    // refresh is still gathering what it stores.
    IniBatch batch(ini_, IniBatch::kWriteOnCommit);
    secrets_.BeginSave();
    host_.CollectSettingsPages();
    const Settings s = settings();
    WriteSavedSettings(ini_, s, scrambleKey_, true);
    std::vector<std::string> notices;
    WriteSettingSecrets(secrets_, s, notices);
    for (const std::string& line : notices) DisplayAndLog(Message<Msg::SecretStoreLine>(line));
    host_.ClearModifiedMarks();
    ArmRefreshTimer(s.RefreshIntv);
    if (intervalEdited_) {
        intervalEdited_ = false;
        RefreshNow();
    }
    ini_.WriteString(kPreferences, "TriggerProgramStatusUpdate", std::to_string(s.TriggerProgramStatusUpdate));
    CommitPageEdits();
    // What moved out of the keyring leaves it once the file holds it.
    secrets_.EndSave(batch.Commit());
}

void Core::CommitPageEdits() {
    host_.CollectPageEdits();
    EditSettings([](Settings& s) { CommitSettingsParts(s); });
}

void Core::PinRefreshSettings() {
    Settings now = settings();
    std::lock_guard<std::mutex> lock(settingsMutex_);
    refreshStart_ = std::move(now);
}

Settings Core::ChannelSettings() const {
    std::lock_guard<std::mutex> lock(settingsMutex_);
    Settings now = settings_;
    KeepFromRefreshStart(refreshStart_, now);
    return now;
}

}  // namespace zelmar

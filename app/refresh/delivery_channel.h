// The refresh pipeline's vocabulary: what one refresh found (the snapshot),
// what a delivery channel last delivered (its record), what a delivery gave
// (its result), and the narrow road a channel reports through.
//
// A refresh looks the addresses up once, builds a RefreshSnapshot and hands
// it to every enabled channel in turn. Each channel decides from the
// snapshot and its own record whether it is due, delivers, and the cycle
// stores the outcome in that channel's record. Nothing reads the addresses
// back out of shared state: the snapshot is the only carrier.
//
// Adding a channel means writing a DeliveryChannel and one ChannelFactory
// line in the composition root; nothing in the core changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/address_set.h"
#include "app/core/host.h"
#include "app/core/refresh_start.h"
#include "app/core/settings.h"
#include "app/core/shared_state.h"
#include "app/core/status_message.h"

namespace zelmar {

class IniFile;

// What one refresh found, passed by value to every channel.
struct RefreshSnapshot {
    AddressSet current;
    // The last real address of each family that earlier refreshes found
    // ("LastWANIP", "LastLANIP", ...); unknown for one never found.
    AddressSet previous;
    // The WAN lookup got no address (current.wan is unknown, or the last
    // address with "UpdateOnNAIP" 0).
    bool wanFailed = false;
    // The watched programs' words, as the page and the mail show them.
    std::vector<ProgramStatusEntry> programs;
    // The address history as recorded before this refresh, oldest first.
    std::vector<AddressChange> history;
    bool programStatusChanged = false;
    std::chrono::system_clock::time_point time;
    RefreshTrigger trigger = RefreshTrigger::Timer;

    // The page's state word follows from the trigger.
    bool online() const { return trigger != RefreshTrigger::Exit; }
    // A manual, start-up or exit refresh delivers whatever the records say.
    bool forced() const {
        return trigger == RefreshTrigger::Manual || trigger == RefreshTrigger::Startup ||
               trigger == RefreshTrigger::Exit;
    }
};

// What a channel last delivered successfully, and where its retries stand.
// Kept in the settings file under the channel's own section, so a failed
// delivery is tried again at the next refresh even when the addresses did not
// change in between.
struct ChannelRecord {
    AddressSet delivered;
    // Seconds since the epoch of the last successful delivery; 0: never.
    std::int64_t deliveredAt = 0;
    // Consecutive failed attempts since the last success.
    int failures = 0;
    // Not before this time (seconds since the epoch) for a channel with a
    // back-off; 0: at the next refresh.
    std::int64_t retryAt = 0;
    // Non-empty: the channel was stopped by a permanent refusal (a wrong
    // login, a banned account) while its settings had this fingerprint; it
    // stays stopped until the fingerprint changes.
    std::string stoppedFor;
    std::string stopReason;

    bool everDelivered() const { return deliveredAt != 0; }
};

// How a delivery ended.
enum class DeliveryOutcome {
    Delivered,         // done; the record takes the snapshot's addresses
    NothingToDo,       // the peer already held the addresses (counts as delivered)
    Failed,            // try again at the next refresh (or after retryAt)
    FailedPermanently  // do not try again until the channel's settings change
};

// The one result type a delivery hands back. code is the program's or the
// server's code ("P10009", "530", "NOTAUTH", "badauth"); step names what
// was being done ("login", "upload", "RCPT TO", "update"); serverReply is
// the peer's last words, already masked and bounded.
struct DeliveryResult {
    DeliveryOutcome outcome = DeliveryOutcome::Failed;
    std::string code;
    std::string step;
    std::string serverReply;
    // For a failure with a back-off: the earliest time of the next try.
    std::int64_t retryAt = 0;
    // NothingToDo found by only asking the peer: nothing was sent, so the
    // record's time of the last delivery stays.
    bool sentNothing = false;
    // A failure in words for the user ("SMTP login refused by ..."), when
    // the channel has one; else one is made of step and serverReply.
    std::string why{};

    bool ok() const { return outcome == DeliveryOutcome::Delivered || outcome == DeliveryOutcome::NothingToDo; }
    static DeliveryResult Success() { return {DeliveryOutcome::Delivered, {}, {}, {}, 0}; }
};

// What a channel may do besides delivering: report a status line (shown and
// logged, on the main loop) and ask the host for a box. It never sees Core.
class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void Post(StatusMessage message) = 0;
    // A modal box; "SuppressError" = 1 answers with the default at once.
    virtual MbAnswer ErrorBox(const MessageBoxRequest& request) = 0;
    // True once the program is closing: a long delivery stops early.
    virtual bool Closing() const = 0;
    // A modal box that "SuppressError" does not silence (a write that failed
    // midway). Awaited, like ErrorBox.
    virtual MbAnswer MessageBox(const MessageBoxRequest& request) { return ErrorBox(request); }
    // A box the delivery does not wait for, so an unanswered box never holds
    // up the rest of the refresh; "SuppressError" = 1 silences it. With
    // showEmailOptions the "E-Mail Options" page comes up after it.
    virtual void PostErrorBox(const MessageBoxRequest& request, bool showEmailOptions) {
        (void)request;
        (void)showEmailOptions;
    }
};

class DeliveryChannel {
public:
    virtual ~DeliveryChannel() = default;
    // Stable and unique: it names the channel's record section and appears
    // in logs and in ZELMAR_CHANNEL_FAILURES ("FTP", "Mail", "DDNS home",
    // "Webhook ntfy").
    virtual std::string Name() const = 0;
    // Whether this channel should be delivered for this snapshot, given what
    // it last delivered. Called on the worker, right before Deliver.
    virtual bool Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const = 0;
    virtual DeliveryResult Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) = 0;
    // A fingerprint of the channel's own settings, so that a permanently
    // refused channel starts again when the user changes them.
    virtual std::string SettingsFingerprint() const { return {}; }
    // True for the one channel whose delivery decides whether the refresh
    // reaches the online state (the status page, when enabled): its failure
    // leaves the program offline, its success posts the online notice.
    // Without such a channel the online state is reached when the WAN
    // address is known.
    virtual bool DecidesOnlineState() const { return false; }
    // The one line an enabled channel says when its settings are not
    // complete enough to deliver; it is then skipped (and counts as failed)
    // while the other channels go on. Nothing: ready.
    virtual std::optional<StatusMessage> MissingSettings() const { return std::nullopt; }
    // The longest a delivery may take, given the program's limit for one
    // network step ("Timeout", already made positive). One step unless the
    // channel says otherwise: the refresh's time budget is the sum of these.
    virtual std::chrono::seconds Deadline(std::chrono::seconds step) const { return step; }
    // Told when the channel was not delivered in this refresh (not due, or
    // held back by its record): a channel may tidy up what an earlier failed
    // run left behind.
    virtual void Skipped(const RefreshSnapshot& snapshot) { (void)snapshot; }
};

// What a factory may use to build the channels of one refresh. Channels are
// built anew for every refresh so that they see the settings of that moment.
struct ChannelContext {
    const Settings& settings;
    // A channel family with sections of its own ("[DDNS x]", "[Webhook x]")
    // reads them here; a channel may also keep small state of its own in it
    // (the mail's remembered server certificates).
    IniFile& ini;
    const std::string& startDirectory;
    const std::string& scrambleKey;
};
using ChannelFactory = std::function<std::vector<std::unique_ptr<DeliveryChannel>>(const ChannelContext&)>;

// One channel's outcome in a refresh; the observers get them all.
struct ChannelOutcome {
    std::string channel;
    bool attempted = false;  // false: not due
    DeliveryResult result;
};

// Told after every refresh (on the worker): the command hook, the desktop
// notifications and the address history listen here.
using RefreshObserver = std::function<void(const RefreshSnapshot&, const std::vector<ChannelOutcome>&)>;

}  // namespace zelmar

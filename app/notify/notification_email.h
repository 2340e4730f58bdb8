// The IP notification e-mail: after a refresh (and at the exit publication)
// tell the recipients of "EmailTo" the machine's addresses, in a message
// expanded from the user's message file by the status page's tokens.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/refresh/delivery_channel.h"

namespace zelmar {

class MailChannel : public DeliveryChannel {
public:
    MailChannel(Settings settings, std::string startDirectory, IniFile& ini);

    std::string Name() const override { return "Mail"; }
    // At a watched program's change with "TriggerProgramStatusUpdate"; with
    // "EmailOnIPChangeOnly", except at a manual refresh, only when an
    // address differs from what was last mailed (or the last mail failed);
    // otherwise always.
    bool Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const override;
    // Expands "EmailInput" into its working copy, sends it through the mail
    // component and reports the outcome (status lines, a message box unless
    // "SuppressError" is 1, "SMTPErrors.xml" after a failed send).
    DeliveryResult Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) override;
    // The mail component's own bound for a whole send.
    std::chrono::seconds Deadline(std::chrono::seconds step) const override;

private:
    Settings settings_;
    std::string startDirectory_;
    IniFile& ini_;
};

// The channel family for the composition root: the mail, with "EnableMail".
std::vector<std::unique_ptr<DeliveryChannel>> MakeMailChannels(const ChannelContext& context);

// The working copy of a message file: "$" before the extension that follows
// the last folder separator ("\" or "/"), or "$" at the end.
std::string MailWorkingCopyPath(const std::string& messageFile);

// The pieces of a recipient list split at ";", empty pieces left out. The
// pieces are not trimmed (the mail component trims them). Any length.
std::vector<std::string> SplitRecipients(const std::string& list);

// Whether a message text goes out as HTML: it holds "<HTML>" or "<html>".
bool IsHtmlMessage(const std::string& text);

// A message file read as text: its line ends, LF (every Linux editor) or
// CR LF, become the CR LF line breaks of a mail. A lone CR stays as it is.
std::string MailTextLineBreaks(const std::string& text);

// The longest a whole send may take: the connect and each reply are bounded
// by "Timeout", and a send has a handful of them plus one per recipient,
// so the whole is bounded as well. The exit's deadline for the offline
// publication counts this in.
int MailSendDeadlineSeconds(int timeoutSeconds);

// Working copies of the message file that exist while a mail is made and
// sent (they hold the addresses): an exit by a signal removes them, since
// the worker that would have deleted them does not get to run on.
void RegisterWorkingCopy(const std::string& path);
void ForgetWorkingCopy(const std::string& path);
void RemoveWorkingCopies();

inline constexpr const char* kSmtpErrorsFile = "SMTPErrors.xml";
// Most of the expanded message that is mailed.
inline constexpr std::size_t kMaxMailTextBytes = 32000;

}  // namespace zelmar

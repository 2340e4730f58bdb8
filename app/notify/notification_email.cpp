#include "app/notify/notification_email.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/file_io.h"
#include "app/core/messages.h"
#include "app/notify/address_history.h"
#include "app/page/snapshot_page.h"
#include "app/page/status_page.h"
#include "app/refresh/channel_record.h"
#include "mail/facade/mail_message.h"
#include "mail/facade/mail_sender.h"

namespace zelmar {

namespace {

constexpr const char* kBoxCaption = "Zelmar";

// At most limit bytes of a regular file; false when it cannot be read.
bool ReadFilePrefix(const std::string& path, std::size_t limit, std::string& text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    text.assign(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, text.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return true;
}

// Expands the message file into its working copy with the status page's
// generator. Only the working copy is written: the local copies
// ("SaveFileHTML", "SaveFileASCII") are the page's, and a mail must not
// replace them with the mail text. A working copy left by an earlier run
// goes first, so that a failed expansion can never mail stale text.
bool ExpandMessageFile(const RefreshSnapshot& snapshot, const Settings& s, const std::string& startDirectory,
                       const std::string& messageFile, const std::string& workingCopy, Reporter& reporter) {
    ::unlink(workingCopy.c_str());
    PageJob job = SnapshotPageJob(snapshot, s, startDirectory, messageFile, workingCopy);
    AddHistoryValues(job.values, startDirectory, snapshot, /*html=*/false);
    job.saveFileHtml.clear();
    job.saveFileAscii.clear();
    job.outputIsWorkingCopy = true;
    ChannelPageReporter pageReporter(reporter);
    return GenerateStatusPage(job, pageReporter) == 1;
}

// A box that the refresh does not wait for: an unanswered box must not hold
// up the rest of the refresh or the exit's publication.
void PostErrorBox(Reporter& reporter, const StatusMessage& message, bool showEmailPage) {
    MessageBoxRequest box;
    box.text = message.text;  // without the code
    box.caption = kBoxCaption;
    box.icon = MbIcon::Warning;
    reporter.PostErrorBox(box, showEmailPage);
}

DeliveryResult RefuseToSend(Reporter& reporter, const StatusMessage& message, const std::string& workingCopy,
                            const char* step) {
    ::unlink(workingCopy.c_str());
    reporter.Post(message);
    PostErrorBox(reporter, message, true);
    return {DeliveryOutcome::Failed, "P", step, {}, 0};
}

}  // namespace

MailChannel::MailChannel(Settings settings, std::string startDirectory)
    : settings_(std::move(settings)), startDirectory_(std::move(startDirectory)) {}

bool MailChannel::Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const {
    if (settings_.TriggerProgramStatusUpdate != 0 && snapshot.programStatusChanged) return true;
    if (settings_.EmailOnIPChangeOnly == 1 && snapshot.trigger != RefreshTrigger::Manual)
        return ChangedSinceDelivery(snapshot, record);
    return true;
}

DeliveryResult MailChannel::Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) {
    const Settings& s = settings_;
    if (s.TriggerProgramStatusUpdate != 0 && snapshot.programStatusChanged)
        reporter.Post(Message(Msg::ProgramChangeEmail));
    reporter.Post(Message(Msg::SendingEmail));

    // The message text, through the working copy.
    const std::string messageFile = InFolder(startDirectory_, s.EmailInput);
    const std::string workingCopy = MailWorkingCopyPath(messageFile);
    std::string text;
    if (s.EmailInput.empty() ||
        !ExpandMessageFile(snapshot, s, startDirectory_, messageFile, workingCopy, reporter) ||
        !ReadFilePrefix(workingCopy, kMaxMailTextBytes, text))
        return RefuseToSend(reporter, Message(Msg::EmailFileError), workingCopy, "message file");
    // Without a sender the server would get "MAIL FROM:<>" and the mail no
    // From field: refuse instead.
    if (TrimBlanks(s.EmailFrom).empty()) return RefuseToSend(reporter, Message(Msg::EmailNoSender), workingCopy, "sender");

    mail::MailSender mailer;
    mail::MailMessage message;

    std::string body;
    if (s.IsMsgAttachment != 0) {
        const std::size_t nul = text.find('\0');
        const std::size_t length = nul == std::string::npos ? text.size() : nul;
        message.AddDataAttachment(s.EmailInput.c_str(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<unsigned long>(length));
    } else {
        body = text;
    }
    if (s.EnableSMTPAuth == 1) {
        mailer.SetSmtpUsername(s.EmailAccount.c_str());
        mailer.SetSmtpPassword(s.EmailPassword.c_str());
    }
    mailer.SetSmtpHost(s.EmailServer.c_str());
    if (IsHtmlMessage(body))
        message.SetHtmlBody(body.c_str());
    else
        message.SetBody(body.c_str());
    message.SetSubject(s.EmailSubject.c_str());
    const std::string sender = s.EmailFrom;
    for (const std::string& piece : SplitRecipients(s.EmailTo)) {
        if (s.IsMailTo == 1)
            message.AddBcc("", piece.c_str());
        else
            message.AddTo("", piece.c_str());
    }
    message.SetFrom(sender.c_str());
    if (s.EnableSecureSMTP == 1) {
        // The component chooses: implicit TLS on port 465, STARTTLS on any
        // other port (the submission port 587 offers only STARTTLS).
        mailer.SetSmtpSsl(true);
        mailer.SetStartTls(true);
    }
    mailer.SetSmtpPort(s.EmailServerPort);

    const TransferResult sent = mailer.Send(&message);
    if (sent.ok) {
        ::unlink(workingCopy.c_str());
        if (mailer.NumRefused() > 0) {
            std::string refused;
            for (int i = 0; i < mailer.NumRefused(); ++i) {
                if (i) refused += ", ";
                refused += mailer.RefusedAddress(i);
            }
            reporter.Post(Message(Msg::RecipientsRefused, {refused}));
        }
        reporter.Post(Message(Msg::SendingEmail));
        return DeliveryResultOf(sent);
    }

    // The file first, so that the box the user reads speaks of this failure.
    mailer.SaveErrorLogXml(InFolder(startDirectory_, kSmtpErrorsFile).c_str());
    const StatusMessage notSent = Message(Msg::EmailNotSent);
    PostErrorBox(reporter, notSent, false);
    ::unlink(workingCopy.c_str());
    reporter.Post(notSent);
    return DeliveryResultOf(sent);
}

std::vector<std::unique_ptr<DeliveryChannel>> MakeMailChannels(const ChannelContext& context) {
    std::vector<std::unique_ptr<DeliveryChannel>> channels;
    if (context.settings.EnableMail != 0)
        channels.push_back(std::make_unique<MailChannel>(context.settings, context.startDirectory));
    return channels;
}

}  // namespace zelmar

#include "app/notify/notification_email.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/file_io.h"
#include "app/core/ini_file.h"
#include "app/core/messages.h"
#include "app/notify/certificate_pins.h"
#include "app/notify/address_history.h"
#include "app/page/snapshot_page.h"
#include "app/page/status_page.h"
#include "app/refresh/channel_record.h"
#include "app/refresh/secret_guard.h"
#include "app/core/secret_store.h"
#include "mail/facade/mail_message.h"
#include "mail/facade/mail_sender.h"
#include "net/default_timeout.h"

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
    RegisterWorkingCopy(workingCopy);
    PageJob job = SnapshotPageJob(snapshot, s, startDirectory, messageFile, workingCopy);
    AddHistoryValues(job.values, snapshot, /*html=*/false);
    job.saveFileHtml.clear();
    job.saveFileAscii.clear();
    job.outputIsWorkingCopy = true;
    ChannelPageReporter pageReporter(reporter);
    return GenerateStatusPage(job, pageReporter) == 1;
}

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

// A failed send in words, from what the send returned: the step the session
// failed at and the server's answer there (or why there was none).
std::string MailFailureSentence(const TransferResult& sent, const std::string& host, int port) {
    const std::string& reply = sent.serverReply;
    if (sent.step == "connect")
        return Message(Msg::SmtpConnectFailed, {host, std::to_string(port), reply.empty() ? "no connection" : reply}).text;
    if (sent.code.empty())
        return Message(Msg::SmtpNoAnswer, {host, sent.step, reply.empty() ? "no reason was given" : reply}).text;
    if (sent.step == "login") return Message(Msg::SmtpLoginRefused, {host, reply}).text;
    if (sent.step == "greeting") return Message(Msg::SmtpGreetingRefused, {host, reply}).text;
    return Message(Msg::SmtpStepRefused, {host, sent.step == "message" ? "the message" : sent.step, reply}).text;
}

// A box that the refresh does not wait for: an unanswered box must not hold
// up the rest of the refresh or the exit's publication.
void PostErrorBox(Reporter& reporter, const StatusMessage& message, bool showEmailPage,
                  const std::string& why = std::string()) {
    MessageBoxRequest box;
    box.text = message.text;  // without the code
    if (!why.empty()) box.text += "\n\n" + Capitalised(why);
    box.caption = kBoxCaption;
    box.icon = MbIcon::Warning;
    box.page = MessageBoxRequest::Page::Email;
    reporter.PostErrorBox(box, showEmailPage);
}

void RemoveWorkingCopy(const std::string& workingCopy) {
    ::unlink(workingCopy.c_str());
    ForgetWorkingCopy(workingCopy);
}

DeliveryResult RefuseToSend(Reporter& reporter, const StatusMessage& message, const std::string& workingCopy,
                            const char* step) {
    RemoveWorkingCopy(workingCopy);
    reporter.Post(message);
    PostErrorBox(reporter, message, true);
    return {DeliveryOutcome::Failed, "P", step, {}, 0};
}

}  // namespace

MailChannel::MailChannel(Settings settings, std::string startDirectory, IniFile& ini)
    : settings_(std::move(settings)), startDirectory_(std::move(startDirectory)), ini_(ini) {}

bool MailChannel::Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const {
    if (settings_.TriggerProgramStatusUpdate != 0 && snapshot.programStatusChanged) return true;
    if (settings_.EmailOnIPChangeOnly == 1 && snapshot.trigger != RefreshTrigger::Manual)
        return ChangedSinceDelivery(snapshot, record);
    return true;
}

std::chrono::seconds MailChannel::Deadline(std::chrono::seconds) const {
    return std::chrono::seconds(MailSendDeadlineSeconds(settings_.Timeout));
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
    if (TrimBlanks(s.EmailFrom).empty())
        return RefuseToSend(reporter, Message(Msg::EmailNoSender), workingCopy, "sender");
    text = MailTextLineBreaks(text);

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
    // Each piece is read as addresses ("Name <addr>", or several separated
    // by commas); one that is not is left out, and the status line says so.
    for (const std::string& piece : SplitRecipients(s.EmailTo)) {
        if (TrimBlanks(piece).empty()) continue;
        const bool taken = s.IsMailTo == 1 ? message.AddBcc("", piece.c_str()) : message.AddTo("", piece.c_str());
        if (!taken)
            reporter.Post(Message(Msg::RecipientNotAddress, {TrimBlanks(piece)}));
    }
    if (s.EmailToLeftOut > 0)
        reporter.Post(Message(Msg::RecipientsLeftOut,
                              {std::to_string(kMaxEmailToChars), std::to_string(s.EmailToLeftOut)}));
    // One sender, read as an address; several, or none that parses, would
    // put someone else's name or nothing usable into the envelope.
    if (!message.SetFrom(s.EmailFrom.c_str())) {
        return RefuseToSend(reporter, Message(Msg::SenderNotOneAddress, {TrimBlanks(s.EmailFrom)}), workingCopy,
                            "sender");
    }
    if (s.EnableSecureSMTP == 1) {
        // The component chooses: implicit TLS on port 465, STARTTLS on any
        // other port (the submission port 587 offers only STARTTLS).
        mailer.SetSmtpSsl(true);
        mailer.SetStartTls(true);
    }
    mailer.SetSmtpPort(s.EmailServerPort);
    // "Timeout" bounds the connect and each reply, and the send as a whole
    // has a deadline of its own.
    const int timeout = TimeoutOrDefault(s.Timeout);
    mailer.SetConnectTimeout(timeout);
    mailer.SetReadTimeout(timeout);
    mailer.SetSendTimeout(MailSendDeadlineSeconds(timeout));
    // A certificate that cannot be verified is trusted on first use and must
    // stay the same afterwards (or is refused outright when so required).
    const std::string pinKey = CertificatePinKey(s.EmailServer, s.EmailServerPort);
    std::string pinProblem;
    const std::string pin = StoredCertificatePin(ini_, pinKey, &pinProblem);
    if (!pinProblem.empty())
        return RefuseToSend(reporter, Message<Msg::EmailNotSentBecause>(pinProblem), workingCopy,
                            "certificate pin");
    mailer.SetRequireVerifiedCertificate(s.RequireVerifiedCertificate == 1);
    mailer.SetCertificatePin(pin.c_str());

    const TransferResult sent = mailer.Send(&message);
    if (const std::string accepted = mailer.AcceptedCertificatePin(); !accepted.empty()) {
        if (StoreCertificatePin(ini_, pinKey, accepted))
            reporter.Post(Message(Msg::CertificateRemembered, {pinKey, accepted}));
    }
    if (sent.ok) {
        RemoveWorkingCopy(workingCopy);
        if (mailer.NumRefused() > 0) {
            std::string refused;
            for (int i = 0; i < mailer.NumRefused(); ++i) {
                if (i) refused += ", ";
                refused += mailer.RefusedAddress(i);
            }
            reporter.Post(Message(Msg::RecipientsRefused, {refused}));
        }
        reporter.Post(Message(Msg::SendingEmail));
        reporter.Post(Message(Msg::EmailSent, {std::to_string(mailer.NumAccepted())}));
        return DeliveryResultOf(sent);
    }

    // What happened, in words: the component's own sentence (a certificate,
    // an address), else the step that failed and the server's answer.
    std::string why = mailer.FailureText();
    if (why.empty()) why = MailFailureSentence(sent, mailer.SmtpHost(), s.EmailServerPort);
    // The file first, so that the box the user reads speaks of this failure.
    mailer.SaveErrorLogXml(InFolder(startDirectory_, kSmtpErrorsFile).c_str());
    const StatusMessage notSent = Message(Msg::EmailNotSent);
    PostErrorBox(reporter, notSent, false, why);
    RemoveWorkingCopy(workingCopy);
    reporter.Post(notSent);
    // The reason last: it is what the status line keeps showing.
    reporter.Post(Message(Msg::EmailNotSentBecause, {why}));
    DeliveryResult result = DeliveryResultOf(sent);
    result.why = why;
    return result;
}

std::vector<std::unique_ptr<DeliveryChannel>> MakeMailChannels(const ChannelContext& context) {
    std::vector<std::unique_ptr<DeliveryChannel>> channels;
    if (context.settings.EnableMail == 0) return channels;
    // A password the start-up could not read from the keyring is read
    // again; the mail never goes out with an empty one.
    Settings s = context.settings;
    std::string problem;
    const bool readable = s.EnableSMTPAuth != 1 ||
                          RereadSecret(context.ini, context.scrambleKey, SmtpSecretId(s.EmailServer, s.EmailAccount),
                                       s.EmailPassword, problem);
    std::unique_ptr<DeliveryChannel> channel = std::make_unique<MailChannel>(s, context.startDirectory, context.ini);
    channels.push_back(readable ? std::move(channel) : HeldForSecret(std::move(channel), problem));
    return channels;
}

}  // namespace zelmar

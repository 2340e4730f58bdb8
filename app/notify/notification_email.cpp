#include "app/notify/notification_email.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/core.h"
#include "app/core/ini_file.h"
#include "app/page/core_page.h"
#include "app/page/status_page.h"
#include "mail/facade/mail_message.h"
#include "mail/facade/mail_sender.h"

namespace zelmar {

namespace {

constexpr const char* kBoxCaption = "Zelmar";

// Relative paths belong to the start folder.
std::string InStartDirectory(const Core& core, const std::string& path) { return InFolder(core.startDirectory(), path); }

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
bool ExpandMessageFile(Core& core, const std::string& messageFile, const std::string& workingCopy) {
    ::unlink(workingCopy.c_str());
    PageJob job = PageJobFor(core, messageFile, workingCopy);
    job.saveFileHtml.clear();
    job.saveFileAscii.clear();
    job.outputIsWorkingCopy = true;
    CorePageReporter reporter(core);
    return GenerateStatusPage(job, reporter) == 1;
}

// A box on the main loop that the worker does not wait for: an unanswered
// box must not hold up the rest of the refresh or the exit's publication.
// "SuppressError" = 1 suppresses it (never the status line).
void PostErrorBox(Core& core, const std::string& message, bool showEmailPage) {
    if (core.settings().SuppressError == 1) return;
    MessageBoxRequest box;
    box.text = message.substr(2);  // without the "P " code
    box.caption = kBoxCaption;
    box.icon = MbIcon::Warning;
    Core* c = &core;
    core.host().PostToMain([c, box, showEmailPage] {
        c->host().MessageBox(box);
        if (showEmailPage) c->host().ShowEmailOptionsPage();
    });
}

void RefuseToSend(Core& core, const std::string& message, const std::string& workingCopy) {
    ::unlink(workingCopy.c_str());
    core.PostStatusMessage(message);
    PostErrorBox(core, message, true);
}

}  // namespace

void SendNotificationEmail(Core& core) {
    const Settings s = core.settings();
    SharedState& state = core.state();

    // Whether a mail is due.
    if (s.TriggerProgramStatusUpdate != 0 && state.ProgramStatusChanged != 0) {
        core.PostStatusMessage(kProgramStatusEmail);
    } else if (s.EmailOnIPChangeOnly == 1 && state.ManualRefresh == 0) {
        if (state.LastWanAddress.get() == state.CurrentWanAddress.get() &&
            state.LastLanAddress.get() == state.CurrentLanAddress.get())
            return;
    }
    core.PostStatusMessage(kAttemptingEmail);

    // The message text, through the working copy.
    const std::string messageFile = InStartDirectory(core, s.EmailInput);
    const std::string workingCopy = MailWorkingCopyPath(messageFile);
    std::string text;
    if (s.EmailInput.empty() || !ExpandMessageFile(core, messageFile, workingCopy) ||
        !ReadFilePrefix(workingCopy, kMaxMailTextBytes, text)) {
        RefuseToSend(core, kMessageFileError, workingCopy);
        return;
    }
    // Without a sender the server would get "MAIL FROM:<>" and the mail no
    // From field: refuse instead.
    if (TrimBlanks(s.EmailFrom).empty()) {
        RefuseToSend(core, kNoSenderError, workingCopy);
        return;
    }

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

    if (mailer.SendEmail(&message)) {
        ::unlink(workingCopy.c_str());
        if (mailer.NumRefused() > 0) {
            std::string refused;
            for (int i = 0; i < mailer.NumRefused(); ++i) {
                if (i) refused += ", ";
                refused += mailer.RefusedAddress(i);
            }
            core.PostStatusMessage("P Warning: the SMTP server refused these recipients: " + refused);
        }
        core.PostStatusMessage(kAttemptingEmail);
        return;
    }

    // The file first, so that the box the user reads speaks of this failure.
    state.CurrentMessage = kEmailNotSent;
    mailer.SaveErrorLogXml(InStartDirectory(core, kSmtpErrorsFile).c_str());
    PostErrorBox(core, kEmailNotSent, false);
    ::unlink(workingCopy.c_str());
    core.PostStatusMessage(kEmailNotSent);
}

}  // namespace zelmar

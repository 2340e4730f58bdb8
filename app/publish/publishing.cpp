#include "app/publish/publishing.h"

#include <unistd.h>

#include <cctype>

#include "app/core/core.h"
#include "app/core/file_io.h"
#include "app/publish/ftp_client.h"
#include "app/page/core_page.h"

namespace zelmar {

namespace {

std::string InStartDirectory(const Core& core, const std::string& name) { return InFolder(core.startDirectory(), name); }

// How the program's own status lines begin once their code is stripped. A
// server's reply text that begins like one of them keeps its reply code on
// the status line and in the log, so that "530 System Online:   ..." cannot
// pass for the online notice, nor "226 Successfully copied ..." for ours.
constexpr const char* kOwnLineStarts[] = {
    "Local Settings Needed", "Successfully changed folder", "Successfully copied", "Attempting to connect",
    "System Online", "System Offline", "Attempting to send e-mail", "Requesting WAN IP address",
    "ERROR:", "Program status change detected", "Email not sent", "Unable to resolve hostname",
    "Cleaning Log File", "Error opening log file", "There was an error uploading page",
    "Cannot ", "Could not ", "FTP publishing is not available",
};

bool LooksLikeOurs(std::string text) {
    const auto start = text.find_first_not_of(" \t");
    text.erase(0, start == std::string::npos ? text.size() : start);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* own : kOwnLineStarts) {
        std::string prefix = own;
        for (char& c : prefix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (text.rfind(prefix, 0) == 0) return true;
    }
    // The page writer's "'<file>' was not found." and anything quoted like it.
    return !text.empty() && text[0] == '\'';
}

// The reply as it is posted. It must carry its reply code: the status road
// takes a leading "P" for one of the program's own messages, so a server
// must not be able to pass off, say, the online notice as its reply; a line
// without a code is posted as no reply at all (the connection failure). A
// reply whose text reads like one of our lines, or one that ended a failed
// step on a good-looking code, is shown with its code.
StatusMessage ReplyMessage(const FtpClient& client, bool keepCode = false) {
    const std::string& reply = client.lastReply();
    if (ReplyClassOf(reply) == 0) return {StatusKind::ConnectionFailure, "", ""};
    StatusMessage message = StatusMessage::FromLine(reply);
    if (keepCode || LooksLikeOurs(message.text)) message.text = reply;
    return message;
}

void PostReply(Core& core, const FtpClient& client) { core.PostStatusMessage(ReplyMessage(client)); }

void PostReplyIfAny(Core& core, const FtpClient& client) {
    StatusMessage reply = ReplyMessage(client);
    if (reply.kind != StatusKind::ConnectionFailure) core.PostStatusMessage(std::move(reply));
}

// The reply that ended a failed step. A refusal (4xx, 5xx) or a connection
// failure reads as a failure by itself. A reply that reads like progress or
// success ("226 Transfer complete." after a STOR that got no 150) would end
// the log on a line that looks like a good upload: it keeps its code, and the
// failure itself is said on the status line and in the log too.
void PostFailure(Core& core, const FtpClient& client) {
    // No connection at all: said as what happened (refused, no such host,
    // timed out), not as the catch-all of a reply that never came.
    if (!client.connected() && !client.connectProblem().empty() && client.lastReply().empty()) {
        core.PostStatusMessage(StatusMessage::Program("P", client.connectProblem()));
        return;
    }
    const int replyClass = ReplyClassOf(client.lastReply());
    if (replyClass >= 1 && replyClass <= 3) {
        core.PostStatusMessage(ReplyMessage(client, true));
        core.PostStatusMessage(StatusMessage::Program("P", kUploadErrorText));
        return;
    }
    PostReply(core, client);
}

enum class UploadResult { Uploaded, PageFailed, UploadFailed };

enum class Page { Online, Offline };

// Steps shared by both runs: generate the online or offline page into
// localFile and store it as "RemoteFile". The FTP client lives only here, so
// every return closes its connection.
UploadResult Upload(Core& core, Page page, const std::string& localFile) {
    const int logonType = core.state().UseProxySnapshot == 1 ? core.settings().LogonType : 0;
    core.PostStatusMessage(StatusMessage::Program("P10004", "Attempting to connect to FTP Server..."));

    // Read after the first status line: the main loop commits edits of the
    // FTP page with every message, and this run should use them.
    const Settings s = core.settings();
    const std::string templatePath = page == Page::Online ? s.ftp.OnlineFile : s.ftp.OfflineFile;
    // The local file is only read back for the upload and deleted after it.
    PageJob job = PageJobFor(core, templatePath, localFile);
    job.outputIsWorkingCopy = true;
    CorePageReporter reporter(core);
    if (GenerateStatusPage(job, reporter) == -1) return UploadResult::PageFailed;
    const RemotePath remote = SplitRemotePath(s.ftp.RemoteFile);

    FtpClient client(s.Timeout);
    LogonParameters logon;
    logon.host = s.ftp.FTPServer;
    logon.port = s.ftp.Port;
    logon.user = s.ftp.UserID;
    logon.password = s.ftp.Password;
    logon.account = s.ProxyAccount;
    logon.firewallHost = s.ProxyAddress;
    logon.firewallUser = s.ProxyUser;
    logon.firewallPassword = s.ProxyPass;
    logon.firewallPort = s.FTPProxyPort;
    logon.logonType = logonType;
    if (!client.LogOn(logon)) {
        // Posted even when empty: the log shows that as a connection failure.
        PostFailure(core, client);
        return UploadResult::UploadFailed;
    }
    PostReplyIfAny(core, client);

    // Only courtesy for old servers; their outcome does not matter.
    client.Command("TYPE A");
    PostReplyIfAny(core, client);
    client.Command("REST 0");
    PostReplyIfAny(core, client);

    const bool passive = s.ProxyPassive != 0;
    std::string storeName = s.ftp.RemoteFile;
    if (!remote.folder.empty()) {
        if (!client.Command("CWD " + remote.folder)) {
            PostFailure(core, client);
            return UploadResult::UploadFailed;
        }
        core.PostStatusMessage(StatusMessage::Program("P10002", "Successfully changed folder."));
        storeName = remote.name;
    }
    if (!client.TransferFile(storeName, localFile, passive, false)) {
        PostFailure(core, client);
        return UploadResult::UploadFailed;
    }
    core.PostStatusMessage(StatusMessage::Program(
        "P10003", "Successfully copied " + templatePath + " to " + s.ftp.RemoteFile + " on " + s.ftp.FTPServer));
    PostReplyIfAny(core, client);
    client.LogOff();
    return UploadResult::Uploaded;
}

void UploadErrorBox(Core& core) {
    MessageBoxRequest box;
    box.text = kUploadErrorText;
    box.caption = "Zelmar";
    box.buttons = MbButtons::Ok;
    box.icon = MbIcon::Stop;
    core.ErrorBox(box);
}

}  // namespace

RemotePath SplitRemotePath(const std::string& remoteFile) {
    RemotePath r{"", remoteFile};
    for (const char separator : {'/', '\\'}) {
        const auto at = remoteFile.rfind(separator);
        if (at != std::string::npos) {
            r.folder = remoteFile.substr(0, at);
            r.name = remoteFile.substr(at + 1);
        }
    }
    return r;
}

void PublishOnlinePage(Core& core) {
    const std::string localFile = InStartDirectory(core, kOnlinePageFile);
    switch (Upload(core, Page::Online, localFile)) {
        case UploadResult::Uploaded:
            ::unlink(localFile.c_str());
            core.EndUpload(true);
            return;
        case UploadResult::PageFailed:
            core.EndUpload(false);
            return;
        case UploadResult::UploadFailed:
            UploadErrorBox(core);
            core.EndUpload(false);
            return;
    }
}

int PublishOffline(Core& core, const RefreshServices& services) {
    core.SendShutdownWindow(true);
    // The run that set the flag owns it and will clear it.
    if (core.state().TransferInProgress != 0) return -1;

    core.EditSettings([](Settings& s) {
        if (s.UseProxy != 0) return;
        s.FTPProxyPort = 21;
        s.HTTPProxyPort = "80";
        s.ProxyAddress.clear();
        s.ProxyUser.clear();
        s.ProxyPass.clear();
    });
    if (services.GetWanAddress) services.GetWanAddress(core);
    if (services.GetLanAddress) services.GetLanAddress(core);
    core.SendRefreshEnabled(false);
    core.SendRefreshEnabled(false);
    core.state().StatusWord = "Offline";
    core.state().TransferInProgress = 1;

    const Settings s = core.settings();
    if (s.EnableMail != 0 && services.SendNotificationEmail) services.SendNotificationEmail(core);

    const std::string localFile = InStartDirectory(core, kOfflinePageFile);
    if (core.settings().EnableFTP != 0) {
        core.state().StartupForce = 0;
        switch (Upload(core, Page::Offline, localFile)) {
            case UploadResult::Uploaded:
                break;
            case UploadResult::PageFailed:
                core.EndUpload(false);
                return -1;
            case UploadResult::UploadFailed:
                UploadErrorBox(core);
                core.EndUpload(false);
                return -1;
        }
    }

    // Also when FTP is off: an old page left by a failed run goes too.
    ::unlink(localFile.c_str());
    core.state().TransferInProgress = 0;
    // OnlineState before the message, so the tray follows it as it does for
    // the online notice.
    core.state().OnlineState = 1;
    core.PostStatusMessage(OfflineNotice());
    if (core.state().ExitAnyway == 0) core.SendExitRequest();
    return 1;
}

}  // namespace zelmar

#include "app/publish/publishing.h"

#include <unistd.h>

#include "app/core/core.h"
#include "app/publish/ftp_client.h"
#include "app/page/core_page.h"

namespace zelmar {

namespace {

std::string InStartDirectory(const Core& core, const std::string& name) {
    const std::string& dir = core.startDirectory();
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// A reply is posted only when it starts with its code: the status road
// takes a leading "P" for one of the program's own messages, and a server
// must not be able to pass off, say, the online notice as its reply.
// Anything else (or no reply at all) is a connection failure.
StatusMessage ReplyMessage(const FtpClient& client) {
    const std::string& reply = client.lastReply();
    if (reply.empty() || reply[0] < '0' || reply[0] > '9') return {StatusKind::ConnectionFailure, "", ""};
    return StatusMessage::FromLine(reply);
}

void PostReply(Core& core, const FtpClient& client) { core.PostStatusMessage(ReplyMessage(client)); }

void PostReplyIfAny(Core& core, const FtpClient& client) {
    StatusMessage reply = ReplyMessage(client);
    if (reply.kind != StatusKind::ConnectionFailure) core.PostStatusMessage(std::move(reply));
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
    if (GenerateStatusPage(core, templatePath, localFile) == -1) return UploadResult::PageFailed;
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
        PostReply(core, client);
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
            PostReply(core, client);
            return UploadResult::UploadFailed;
        }
        core.PostStatusMessage(StatusMessage::Program("P10002", "Successfully changed folder."));
        storeName = remote.name;
    }
    if (!client.TransferFile(storeName, localFile, passive, false)) {
        PostReply(core, client);
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

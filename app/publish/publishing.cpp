#include "app/publish/publishing.h"

#include <unistd.h>

#include "app/core/file_io.h"
#include "app/core/text.h"
#include "app/publish/ftp_client.h"
#include "app/publish/secure_page_upload.h"
#include "app/publish/ftp_page_settings.h"
#include "app/publish/page_read_back.h"
#include "app/notify/address_history.h"
#include "app/page/snapshot_page.h"
#include "app/refresh/channel_record.h"
#include "app/refresh/secret_guard.h"
#include "app/core/secret_store.h"

namespace zelmar {

namespace {

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
    if (keepCode || LooksLikeOwnLine(message.text)) message.text = reply;
    return message;
}

void PostReplyIfAny(Reporter& reporter, const FtpClient& client) {
    StatusMessage reply = ReplyMessage(client);
    if (reply.kind != StatusKind::ConnectionFailure) reporter.Post(std::move(reply));
}

// The reply that ended a failed step. A refusal (4xx, 5xx) or a connection
// failure reads as a failure by itself. A reply that reads like progress or
// success ("226 Transfer complete." after a STOR that got no 150) would end
// the log on a line that looks like a good upload: it keeps its code, and the
// failure itself is said on the status line and in the log too. The result
// carries the reply for the record.
DeliveryResult Failure(Reporter& reporter, const FtpClient& client, const char* step) {
    // No connection at all: said as what happened (refused, no such host,
    // timed out), not as the catch-all of a reply that never came.
    if (!client.connected() && !client.connectProblem().empty() && client.lastReply().empty()) {
        reporter.Post(Message<Msg::ConnectProblem>(client.connectProblem()));
        DeliveryResult result = DeliveryResultOf(client.Result(false, step));
        result.why = client.connectProblem();
        return result;
    }
    const int replyClass = ReplyClassOf(client.lastReply());
    if (replyClass >= 1 && replyClass <= 3) {
        reporter.Post(ReplyMessage(client, true));
        reporter.Post(Message(Msg::UploadError));
    } else {
        // Posted even when empty: the log shows that as a connection failure.
        reporter.Post(ReplyMessage(client));
    }
    DeliveryResult result = DeliveryResultOf(client.Result(false, step));
    // The step in words and the server's own answer, for the box and the
    // desktop note.
    const std::string what = std::string(step) == "CWD" ? "change of folder" : step;
    const std::string reply = BoundedReply(client.lastReply());
    result.why = reply.empty() ? Message(Msg::FtpStepFailed, {what}).text
                               : Message(Msg::FtpStepRefused, {what, reply}).text;
    return result;
}

void UploadErrorBox(Reporter& reporter, const std::string& why) {
    MessageBoxRequest box;
    box.text = kUploadErrorText;
    if (!why.empty()) box.text += "\n\n" + why;
    box.caption = "Zelmar";
    box.buttons = MbButtons::Ok;
    box.icon = MbIcon::Stop;
    box.page = MessageBoxRequest::Page::Ftp;
    reporter.ErrorBox(box);
}

// Generates the page into localFile and stores it as "RemoteFile". The FTP
// client lives only here, so every return closes its connection.
DeliveryResult Upload(const Settings& s, const RefreshSnapshot& snapshot, const std::string& startDirectory,
                      const std::string& localFile, Reporter& reporter) {
    const FtpPageSettings& f = FtpPageOf(s);
    reporter.Post(Message(Msg::ConnectingFtp));
    const std::string templatePath = snapshot.online() ? f.ftp.OnlineFile : f.ftp.OfflineFile;
    if (std::optional<DeliveryResult> failed = MakeUploadPage(s, snapshot, startDirectory, localFile, reporter))
        return *failed;
    const RemotePath remote = SplitRemotePath(f.ftp.RemoteFile);

    FtpClient client(s.Timeout);
    LogonParameters logon;
    logon.host = f.ftp.FTPServer;
    logon.port = f.ftp.Port;
    logon.user = f.ftp.UserID;
    logon.password = f.ftp.Password;
    logon.account = f.ProxyAccount;
    logon.firewallHost = f.ProxyAddress;
    logon.firewallUser = f.ProxyUser;
    logon.firewallPassword = f.ProxyPass;
    logon.firewallPort = f.FTPProxyPort;
    logon.logonType = f.UseProxy == 1 ? f.LogonType : 0;
    if (!client.LogOn(logon)) return Failure(reporter, client, "login");
    PostReplyIfAny(reporter, client);

    // Only courtesy for old servers; their outcome does not matter.
    client.Command("TYPE A");
    PostReplyIfAny(reporter, client);
    client.Command("REST 0");
    PostReplyIfAny(reporter, client);

    const bool passive = f.ProxyPassive != 0;
    std::string storeName = f.ftp.RemoteFile;
    if (!remote.folder.empty()) {
        if (!client.Command("CWD " + remote.folder)) return Failure(reporter, client, "CWD");
        reporter.Post(Message(Msg::ChangedFolder));
        storeName = remote.name;
    }
    if (!client.TransferFile(storeName, localFile, passive, false)) return Failure(reporter, client, "upload");
    reporter.Post(Message<Msg::CopiedPage>(templatePath, f.ftp.RemoteFile, f.ftp.FTPServer));
    PostReplyIfAny(reporter, client);
    const TransferResult stored = client.Result(true, "upload");
    client.LogOff();
    return DeliveryResultOf(stored);
}

}  // namespace

std::optional<DeliveryResult> MakeUploadPage(const Settings& s, const RefreshSnapshot& snapshot,
                                             const std::string& startDirectory, const std::string& localFile,
                                             Reporter& reporter) {
    const std::string templatePath = snapshot.online() ? FtpPageOf(s).ftp.OnlineFile : FtpPageOf(s).ftp.OfflineFile;
    // The local file is only read back for the upload and deleted after it.
    PageJob job = SnapshotPageJob(snapshot, s, startDirectory, templatePath, localFile);
    AddHistoryValues(job.values, snapshot, /*html=*/true);
    job.outputIsWorkingCopy = true;
    ChannelPageReporter pageReporter(reporter);
    if (GenerateStatusPage(job, pageReporter) == -1)
        return DeliveryResult{DeliveryOutcome::Failed, MessageOf(Msg::TemplateUnreadable).code, "page", {}, 0};
    return std::nullopt;
}

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

FtpChannel::FtpChannel(Settings settings, std::string startDirectory)
    : settings_(std::move(settings)), startDirectory_(std::move(startDirectory)) {
    // Without "UseProxy" the firewall's values are not this upload's: it
    // uses their defaults. The user's values stay in the settings, so that
    // turning the firewall on again finds them.
    FtpPageSettings& f = FtpPageOf(settings_);
    if (f.UseProxy != 0) return;
    f.HTTPProxyPort = "80";
    f.FTPProxyPort = 21;
    f.ProxyAddress.clear();
    f.ProxyUser.clear();
    f.ProxyPass.clear();
}

bool FtpChannel::Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const {
    if (FtpPageOf(settings_).EnableFTP == 0) return false;
    if (snapshot.forced()) return true;
    if (settings_.TriggerProgramStatusUpdate != 0 && snapshot.programStatusChanged) return true;
    if (FtpPageOf(settings_).FTPOnIPChangeOnly == 1) return ChangedSinceDelivery(snapshot, record);
    return true;
}

DeliveryResult FtpChannel::Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) {
    if (!snapshot.forced() && settings_.TriggerProgramStatusUpdate != 0 && snapshot.programStatusChanged)
        reporter.Post(Message(Msg::ProgramChangeFtp));
    const std::string localFile =
        InFolder(startDirectory_, snapshot.online() ? kOnlinePageFile : kOfflinePageFile);
    DeliveryResult result = Transfer(snapshot, localFile, reporter);
    if (result.ok()) result = ReadBack(snapshot, reporter, std::move(result));
    if (result.ok())
        ::unlink(localFile.c_str());
    else if (result.step != "page")
        UploadErrorBox(reporter, result.why);
    return result;
}

DeliveryResult FtpChannel::Transfer(const RefreshSnapshot& snapshot, const std::string& localFile, Reporter& reporter) {
    return Upload(settings_, snapshot, startDirectory_, localFile, reporter);
}

DeliveryResult FtpChannel::ReadBack(const RefreshSnapshot& snapshot, Reporter& reporter, DeliveryResult uploaded) {
    const std::string url = TrimBlanks(FtpPageOf(settings_).PageURL);
    // The offline page, and a page made without a WAN address, have no
    // address to look for.
    if (url.empty() || !snapshot.online() || !snapshot.current.wan.known()) return uploaded;
    PageReadBack check = ReadPageBack(url, snapshot.current.wan, std::chrono::seconds(settings_.Timeout));
    const std::string code = check.line.code;
    const std::string line = check.line.text;
    reporter.Post(std::move(check.line));
    if (check.shows) return uploaded;
    DeliveryResult failed{DeliveryOutcome::Failed, code, "read back", {}, 0};
    failed.why = line;
    return failed;
}

std::optional<StatusMessage> FtpChannel::MissingSettings() const {
    if (FtpPageOf(settings_).EnableFTP == 0 || FtpPageOf(settings_).ftpPage.Complete()) return std::nullopt;
    return Message(Msg::LocalSettingsNeeded);
}

void FtpChannel::Skipped(const RefreshSnapshot& snapshot) {
    if (!snapshot.online()) ::unlink(InFolder(startDirectory_, kOfflinePageFile).c_str());
}

std::vector<std::unique_ptr<DeliveryChannel>> MakeFtpChannels(const ChannelContext& context) {
    std::vector<std::unique_ptr<DeliveryChannel>> channels;
    // Passwords the start-up could not read from the keyring are read again;
    // the page never goes out with an empty one.
    Settings s = context.settings;
    std::string problem;
    FtpPageSettings& f = FtpPageOf(s);
    bool readable = RereadSecret(context.ini, context.scrambleKey, FtpSecretId(s), f.ftp.Password, problem);
    if (readable && f.UseProxy == 1)
        readable = RereadSecret(context.ini, context.scrambleKey, ProxySecretId(s), f.ProxyPass, problem);
    f.ftpPage.Password = f.ftp.Password;
    // FTP as it always was, or the page over SFTP or FTP with TLS.
    std::unique_ptr<DeliveryChannel> channel = MakePageChannel(s, context);
    channels.push_back(readable ? std::move(channel) : HeldForSecret(std::move(channel), problem));
    return channels;
}

}  // namespace zelmar

// The FTP channel: the status page, generated from the user's template and
// put on the web server by FTP, every step reported as a status line.
//
// It runs in every refresh (the online page, when due) and in the exit's
// publication (the offline page, always). Its delivery decides whether the
// program reaches the online state. It runs on the refresh worker (the exit's
// publication may also run on the main loop at the end of the desktop
// session) and reports only through the Reporter it is given.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/messages.h"
#include "app/publish/ftp_page_settings.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

inline constexpr const char* kOnlinePageFile = "Online.txt";
inline constexpr const char* kOfflinePageFile = "Offline.txt";
inline constexpr const char* kUploadErrorText = MessageText(Msg::UploadError);

// "RemoteFile" split into the folder to change to and the name to store. The
// last "/" splits first; then, when there is a "\", the last "\" splits the
// whole text again and wins. Without either the folder is empty.
struct RemotePath {
    std::string folder;
    std::string name;
};
RemotePath SplitRemotePath(const std::string& remoteFile);

// Makes the online (offline) page from its template into localFile, passing
// on what the generation reports; the failed result when the template cannot
// be read. Every transport of the page starts with it.
std::optional<DeliveryResult> MakeUploadPage(const Settings& s, const RefreshSnapshot& snapshot,
                                             const std::string& startDirectory, const std::string& localFile,
                                             Reporter& reporter);

class FtpChannel : public DeliveryChannel {
public:
    // settings: as the refresh started ("UseProxy" chooses the firewall
    // logon); startDirectory: where "Online.txt"/"Offline.txt" are made.
    FtpChannel(Settings settings, std::string startDirectory);

    std::string Name() const override { return "FTP"; }
    // With "EnableFTP": always at a manual, start-up or exit refresh, and at
    // a watched program's change with "TriggerProgramStatusUpdate"; with
    // "FTPOnIPChangeOnly" only when an address differs from what was last
    // uploaded (or the last upload failed); otherwise always.
    bool Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const override;
    // The online page (the offline page at exit) expanded into "Online.txt"
    // ("Offline.txt") and stored as "RemoteFile", and with "PageURL" read
    // back from there. On success the local file is deleted; after a failed upload the upload error box is shown (unless
    // "SuppressError" is 1) and the file is left for inspection.
    DeliveryResult Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) override;
    // With "EnableFTP" the upload decides the online state.
    bool DecidesOnlineState() const override { return FtpPageOf(settings_).EnableFTP != 0; }
    // With "EnableFTP", every one of the eight site values is needed.
    std::optional<StatusMessage> MissingSettings() const override;
    // At exit without an upload, an offline page left by a failed run goes.
    void Skipped(const RefreshSnapshot& snapshot) override;

protected:
    // Makes the page into localFile and stores it on the server, reporting
    // each step.
    virtual DeliveryResult Transfer(const RefreshSnapshot& snapshot, const std::string& localFile, Reporter& reporter);

private:
    // With "PageURL": the online page, once uploaded, must show the WAN
    // address there; otherwise the upload counts as failed and is tried
    // again at the next refresh.
    DeliveryResult ReadBack(const RefreshSnapshot& snapshot, Reporter& reporter, DeliveryResult uploaded);

    Settings settings_;
    std::string startDirectory_;
};

// The channel family for the composition root: the one FTP channel.
std::vector<std::unique_ptr<DeliveryChannel>> MakeFtpChannels(const ChannelContext& context);

}  // namespace zelmar

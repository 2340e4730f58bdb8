// The publishing cycle: generate the status page and put it on the web
// server, reporting every step as a status line.
//
// Two runs use it. The online upload is the last step of the refresh worker
// (installed as RefreshServices::PublishOnlinePage). The offline publication
// runs once when the program exits: it looks the addresses up, sends the
// e-mail, uploads the offline page and then asks the front end to close.
//
// Both run on a worker thread (the offline one may also run on the main loop
// at the end of the desktop session) and reach the front end only through the
// core's blocking sends.
#pragma once

#include <string>

#include "app/core/status_message.h"

namespace zelmar {

class Core;
struct RefreshServices;

inline constexpr const char* kOnlinePageFile = "Online.txt";
inline constexpr const char* kOfflinePageFile = "Offline.txt";
inline constexpr const char* kUploadErrorText =
    "There was an error uploading page. Please see remote error messages for further details.";
inline constexpr const char* kOfflineNotice = "P10006 System Offline.";
inline StatusMessage OfflineNotice() { return StatusMessage::Program("P10006", "System Offline."); }

// "RemoteFile" split into the folder to change to and the name to store. The
// last "/" splits first; then, when there is a "\", the last "\" splits the
// whole text again and wins. Without either the folder is empty.
struct RemotePath {
    std::string folder;
    std::string name;
};
RemotePath SplitRemotePath(const std::string& remoteFile);

// The online upload: "OnlineFile" expanded into "Online.txt" in the start
// directory and stored as "RemoteFile". Ends in every outcome with
// core.EndUpload(success); on failure the upload error box is shown (unless
// "SuppressError" is 1) and "Online.txt" is left for inspection.
void PublishOnlinePage(Core& core);

// The offline publication at exit. services supplies the address lookups and
// the e-mail (empty members are skipped). Returns 1 when the program may
// close (it then has sent the exit request, unless ExitAnyway is set) and -1
// when a transfer was already running or the upload failed (the program
// stays open).
int PublishOffline(Core& core, const RefreshServices& services);

}  // namespace zelmar

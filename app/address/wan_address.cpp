#include "app/address/wan_address.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "app/address/http_fetch.h"
#include "app/core/core.h"
#include "app/core/file_io.h"
#include "app/core/messages.h"
#include "app/core/version.h"

namespace zelmar {

namespace {

constexpr int kDefaultTimeoutSeconds = 15;
// A system message starts with its class and number ("SM1001: ", "SM20042 "),
// eight characters the user is not shown.
constexpr std::size_t kSystemMessageCodeChars = 8;

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

void ShowSystemMessage(Core& core, const std::string& message) {
    MessageBoxRequest box;
    box.text = message.size() > kSystemMessageCodeChars ? message.substr(kSystemMessageCodeChars) : std::string();
    box.caption = "Zelmar";
    box.buttons = MbButtons::Ok;
    core.MessageBox(box);
}

// A failed copy is of no concern to the lookup: nothing is reported.
void WriteDebugCopy(const std::string& path, const std::string& page) {
    // Never through a link planted under the name (it would overwrite the
    // link's target), and only into a regular file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0) {
        int err = 0;
        WriteAll(fd, page, err);
    }
    ::close(fd);
}

}  // namespace

WanLookupOptions DefaultWanLookupOptions() {
    return WanLookupOptions{kDefaultWanHost, kProductVersion};
}

std::string GetWanAddress(Core& core, const WanLookupOptions& options) {
    const LookedUpAddress found = LookUpWanAddress(core, options);
    return found.ended ? std::string() : found.current;
}

LookedUpAddress LookUpWanAddress(Core& core, const WanLookupOptions& options) {
    SharedState& st = core.state();
    IniFile& ini = core.ini();
    const std::string stored = ini.GetString(kIPAddress, "LastWANIP", "", kStoredAddressChars);
    // A long address is stored shortened; the full text of this run's last
    // lookup stands in for it where it matches.
    const std::string previous = st.CurrentWanAddress.get();
    const std::string last = StoredWanForm(previous) == stored ? previous : stored;
    std::string before = stored;
    st.LastWanAddress = before;

    const std::string custom = ini.GetString(kLocalSettings, "WANIPURL");
    const bool defaultService = custom.empty();
    std::string label, url;
    if (defaultService) {
        label = "http://" + options.defaultHost + kWanServicePath;
        url = label + "?app=zmretail&ver=" + (options.productVersion.empty() ? "N/A" : options.productVersion);
    } else {
        label = url = custom;
    }
    st.WanSourceLabel = label;
    core.PostStatusMessage(Message(Msg::RequestingWan, {label}));

    const Settings s = core.settings();
    // The whole answer is awaited, not a fixed moment's worth of it, but
    // never longer than the connection time-out of the settings.
    const int seconds = s.Timeout > 0 ? s.Timeout : kDefaultTimeoutSeconds;
    std::string address = kUnknownWanAddress;
    const HttpFetchResult fetched = HttpGet(url, std::chrono::seconds(seconds));
    if (fetched.ok) {
        // The page is text: it ends at the first zero byte.
        const std::string page = fetched.body.substr(0, fetched.body.find('\0'));
        if (ini.GetString(kPreferences, "DebugWANPage", "FALSE") == "TRUE")
            WriteDebugCopy(core.startDirectory().empty() ? "WANPage.html" : core.startDirectory() + "/WANPage.html",
                           page);

        std::string start = s.StartDelimiter, end = s.EndDelimiter;
        if (start.empty() || end.empty()) {
            start = "REMOTE_ADDR:";
            end = "<br>";
        }
        if (auto found = WanAddressFromPage(page, start, end)) address = *found;

        if (defaultService) {
            const std::string message = SystemMessageOf(page);
            if (StartsWith(message, "SM1001")) {
                // The service has retired this version: tell the user and end
                // the program, leaving the stored address as it was.
                core.SendRestoreMainWindow();
                ShowSystemMessage(core, message);
                core.SendClose();
                return {stored, std::string(), true};
            }
            if (StartsWith(message, "SM2")) {
                core.SendRestoreMainWindow();
                ShowSystemMessage(core, message);
            }
        }
    }

    std::string current;
    if (address != kUnknownWanAddress) {
        current = address;
        // "LastWANIP" holds a long text only in its stored form; an unchanged
        // long text must still compare equal to the last one.
        if (current.size() > kStoredAddressChars && StoredWanForm(current) == stored) {
            before = current;
            st.LastWanAddress = before;
        }
        st.CurrentWanAddress = current;
    } else {
        current = s.UpdateOnNAIP == 1 ? std::string(kUnknownWanAddress) : last;
        st.CurrentWanAddress = current;
        core.PostStatusMessage(Message(Msg::WanLookupFailed, {label}));
    }
    ini.WriteString(kIPAddress, "LastWANIP", StoredWanForm(current));
    return {before, current, false};
}

}  // namespace zelmar

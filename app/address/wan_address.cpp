#include "app/address/wan_address.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "app/address/http_fetch.h"
#include "app/core/core.h"
#include "app/core/version.h"

namespace zelmar {

namespace {

constexpr std::size_t kStoredAddressChars = 20;
constexpr int kDefaultTimeoutSeconds = 15;
constexpr const char* kSystemMessageOpen = "<SystemMessage>";
constexpr const char* kSystemMessageClose = "</SystemMessage>";
// A system message starts with its class and number ("SM1001: ", "SM20042 "),
// eight characters the user is not shown.
constexpr std::size_t kSystemMessageCodeChars = 8;

std::string Trim(const std::string& s) { return TrimBlanks(s); }

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// The address travels into the settings file, the log and the published page,
// all of them line-based: a line break smuggled in by the page must not start
// a new line (or a new settings section) there.
std::string WithoutControlCharacters(std::string s) {
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    return s;
}

std::uint32_t Fnv1a(const std::string& s) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : s) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// "<SystemMessage>...</SystemMessage>" trimmed, or empty.
std::string SystemMessage(const std::string& page) {
    const std::size_t open = page.find(kSystemMessageOpen);
    if (open == std::string::npos) return std::string();
    const std::size_t from = open + std::char_traits<char>::length(kSystemMessageOpen);
    const std::size_t close = page.find(kSystemMessageClose, from);
    if (close == std::string::npos) return std::string();
    return Trim(page.substr(from, close - from));
}

void ShowSystemMessage(Core& core, const std::string& message) {
    MessageBoxRequest box;
    box.text = message.size() > kSystemMessageCodeChars ? message.substr(kSystemMessageCodeChars) : std::string();
    box.caption = "Zelmar";
    box.buttons = MbButtons::Ok;
    core.MessageBox(box);
}

// A failed copy is of no concern to the lookup: nothing is reported.
void WriteDebugCopy(const std::string& path, const std::string& page) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(page.data(), 1, page.size(), f);
    std::fclose(f);
}

}  // namespace

WanLookupOptions DefaultWanLookupOptions() {
    return WanLookupOptions{kDefaultWanHost, kProductVersion};
}

std::optional<std::string> ExtractBetween(const std::string& page, const std::string& start,
                                          const std::string& end) {
    const std::size_t s = page.find(start);
    if (s == std::string::npos) return std::nullopt;
    const std::size_t from = s + start.size();
    const std::size_t e = page.find(end, from);
    if (e == std::string::npos) return std::nullopt;
    return Trim(page.substr(from, e - from));
}

std::string StoredWanForm(const std::string& address) {
    if (address.size() <= kStoredAddressChars) return address;
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08x", static_cast<unsigned>(Fnv1a(address)));
    return address.substr(0, kStoredAddressChars - 9) + "~" + hash;
}

std::string GetWanAddress(Core& core, const WanLookupOptions& options) {
    SharedState& st = core.state();
    IniFile& ini = core.ini();
    const std::string stored = ini.GetString(kIPAddress, "LastWANIP", "", kStoredAddressChars);
    // A long address is stored shortened; the full text of this run's last
    // lookup stands in for it where it matches.
    const std::string previous = st.CurrentWanAddress.get();
    const std::string last = StoredWanForm(previous) == stored ? previous : stored;
    st.LastWanAddress = stored;

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
    core.PostStatusMessage(StatusMessage::Program("P10009", "Requesting WAN IP address from " + label + " ..."));

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
        if (auto between = ExtractBetween(page, start, end)) address = WithoutControlCharacters(*between);

        if (defaultService) {
            const std::string message = SystemMessage(page);
            if (StartsWith(message, "SM1001")) {
                // The service has retired this version: tell the user and end
                // the program, leaving the stored address as it was.
                core.SendRestoreMainWindow();
                ShowSystemMessage(core, message);
                core.SendClose();
                return std::string();
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
        if (current.size() > kStoredAddressChars && StoredWanForm(current) == stored) st.LastWanAddress = current;
        st.CurrentWanAddress = current;
    } else {
        current = s.UpdateOnNAIP == 1 ? std::string(kUnknownWanAddress) : last;
        st.CurrentWanAddress = current;
        core.PostStatusMessage(StatusMessage::Program("P10009", "ERROR: Unable to retrieve WAN IP address from " + label));
    }
    ini.WriteString(kIPAddress, "LastWANIP", StoredWanForm(current));
    return current;
}

}  // namespace zelmar

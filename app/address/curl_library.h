// libcurl, loaded while a page is being fetched and unloaded after.
//
// libcurl brings some twenty-five libraries with it (two TLS stacks,
// Kerberos, LDAP, SSH, IDN ...), several megabytes of mappings, of which an
// address lookup needs a few milliseconds every refresh interval. The window
// process spends its life asleep in the tray between refreshes, so the
// library is mapped only while at least one fetch holds it: the first holder
// loads and initialises it, the last one to let go cleans it up and unloads
// it. Holders on several threads share one load.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace zelmar {

// The entry points the fetch uses, resolved in the loaded library.
struct CurlApi {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_global_cleanup) global_cleanup = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_perform) easy_perform = nullptr;
    decltype(&curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    // Several pages at once (the WAN cross-check).
    decltype(&curl_multi_init) multi_init = nullptr;
    decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&curl_multi_perform) multi_perform = nullptr;
    decltype(&curl_multi_poll) multi_poll = nullptr;
    decltype(&curl_multi_info_read) multi_info_read = nullptr;
    decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
    // Request headers (the dynamic-DNS APIs and the webhooks send their own).
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;
    // Which libcurl was loaded (the page's FTP with TLS works round a fault
    // of some versions).
    decltype(&curl_version_info) version_info = nullptr;
};

// The loaded library while the pointer lives; null with *error set when it
// cannot be loaded ("libcurl.so.4" missing, a symbol missing, the global
// initialisation refused).
std::shared_ptr<const CurlApi> AcquireCurl(std::string* error);

// For a process that makes its fetches and ends (a one-shot run): the
// library, once loaded, stays until the process ends, and is bound lazily,
// so the run pays neither for unloading it nor for binding the many symbols
// it never calls. Call before the first fetch.
void KeepCurlLoaded();

// False in sanitizer builds, which keep the library once loaded.
bool CurlUnloadsWhenReleased();

// The name the library is loaded by (its ABI name).
inline constexpr const char* kCurlLibraryName = "libcurl.so.4";

}  // namespace zelmar

#include "app/address/curl_library.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace zelmar {

namespace {

// Loads, initialises, cleans up and unloads happen under this lock, so that
// curl_global_init and curl_global_cleanup never race each other or a load.
// Both are never destroyed: a fetch still running on a worker while the
// process exits lets go of the library after static destruction.
std::mutex& LoadLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::weak_ptr<const CurlApi>& Current() {
    static auto* current = new std::weak_ptr<const CurlApi>;
    return *current;
}

// Sanitizer builds keep the library mapped once loaded: a leak report on a
// library that is gone has no names to show.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnload = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnload = false;
#else
constexpr bool kUnload = true;
#endif
#else
constexpr bool kUnload = true;
#endif

template <class F>
bool Resolve(void* handle, const char* name, F& out, std::string* error) {
    out = reinterpret_cast<F>(dlsym(handle, name));
    if (!out) *error = std::string("libcurl has no ") + name;
    return out != nullptr;
}

struct Loaded : CurlApi {
    void* handle = nullptr;
};

std::atomic<bool> g_keep{false};

}  // namespace

void KeepCurlLoaded() { g_keep = true; }

bool CurlUnloadsWhenReleased() { return kUnload; }

std::shared_ptr<const CurlApi> AcquireCurl(std::string* error) {
    std::lock_guard<std::mutex> guard(LoadLock());
    if (std::shared_ptr<const CurlApi> held = Current().lock()) return held;

    const bool keep = g_keep.load();
    void* handle = dlopen(kCurlLibraryName, (keep ? RTLD_LAZY : RTLD_NOW) | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        *error = std::string("cannot load ") + kCurlLibraryName + (why ? std::string(": ") + why : std::string());
        return nullptr;
    }
    auto loaded = std::make_unique<Loaded>();
    loaded->handle = handle;
    if (!Resolve(handle, "curl_global_init", loaded->global_init, error) ||
        !Resolve(handle, "curl_global_cleanup", loaded->global_cleanup, error) ||
        !Resolve(handle, "curl_easy_init", loaded->easy_init, error) ||
        !Resolve(handle, "curl_easy_setopt", loaded->easy_setopt, error) ||
        !Resolve(handle, "curl_easy_perform", loaded->easy_perform, error) ||
        !Resolve(handle, "curl_easy_getinfo", loaded->easy_getinfo, error) ||
        !Resolve(handle, "curl_easy_cleanup", loaded->easy_cleanup, error) ||
        !Resolve(handle, "curl_easy_strerror", loaded->easy_strerror, error) ||
        !Resolve(handle, "curl_multi_init", loaded->multi_init, error) ||
        !Resolve(handle, "curl_multi_add_handle", loaded->multi_add_handle, error) ||
        !Resolve(handle, "curl_multi_remove_handle", loaded->multi_remove_handle, error) ||
        !Resolve(handle, "curl_multi_perform", loaded->multi_perform, error) ||
        !Resolve(handle, "curl_multi_poll", loaded->multi_poll, error) ||
        !Resolve(handle, "curl_multi_info_read", loaded->multi_info_read, error) ||
        !Resolve(handle, "curl_multi_cleanup", loaded->multi_cleanup, error) ||
        !Resolve(handle, "curl_slist_append", loaded->slist_append, error) ||
        !Resolve(handle, "curl_slist_free_all", loaded->slist_free_all, error) ||
        !Resolve(handle, "curl_version_info", loaded->version_info, error)) {
        dlclose(handle);
        return nullptr;
    }
    if (loaded->global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        *error = "cannot initialise libcurl";
        dlclose(handle);
        return nullptr;
    }
    // The last holder cleans up and unloads. A load that starts meanwhile
    // (under the lock, before this deleter gets it) has taken its own
    // reference on the library and its own share of curl's initialisation,
    // both counted, so this release leaves that one working.
    std::shared_ptr<const CurlApi> held(loaded.release(), [](const CurlApi* api) {
        const auto* done = static_cast<const Loaded*>(api);
        {
            std::lock_guard<std::mutex> unloading(LoadLock());
            done->global_cleanup();
            if (kUnload) dlclose(done->handle);
        }
        delete done;
    });
    Current() = held;
    // Never released: the process ends with the library loaded. Held where
    // the leak checkers see it as still in use, not as lost.
    if (keep) {
        static auto* kept = new std::shared_ptr<const CurlApi>;
        *kept = held;
    }
    return held;
}

}  // namespace zelmar

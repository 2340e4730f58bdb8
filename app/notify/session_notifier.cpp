#include "app/notify/session_notifier.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "app/core/runtime_library.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

#define ZELMAR_GDBUS_FUNCTIONS(X) \
    X(g_bus_get_sync) X(g_dbus_connection_call_sync) X(g_variant_new_parsed) X(g_variant_unref) X(g_error_free)

struct GdbusApi {
    ZELMAR_RUNTIME_API_MEMBERS(ZELMAR_GDBUS_FUNCTIONS)
};

const GdbusApi* LoadGdbus(std::string& why) {
    return LoadRuntimeApi<GdbusApi>(
        "libgio-2.0.so.0", "GIO",
        [](void* handle, GdbusApi& api) { ZELMAR_RUNTIME_API_RESOLVE(ZELMAR_GDBUS_FUNCTIONS, handle, api) }, why);
}

// The "urgency" hint: 1 normal, 2 critical.
constexpr unsigned char kNormal = 1;
constexpr unsigned char kCritical = 2;

}  // namespace

bool SessionBusNamed() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool SendSessionNote(const DesktopNote& note, std::string& why, int timeoutMs) {
    const GdbusApi* api = LoadGdbus(why);
    if (!api) return false;
    GError* error = nullptr;
    // The bus connection is GIO's shared one, kept for the process.
    GDBusConnection* bus = api->g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        why = error ? std::string(error->message) : Text<Msg::NoSessionBus>();
        if (error) api->g_error_free(error);
        return false;
    }
    // The texts go in as values of their own, never into the format.
    GVariant* args = api->g_variant_new_parsed("(%s, uint32 0, 'zelmar', %s, %s, @as [], {'urgency': <%y>}, -1)",
                                               "Zelmar", note.summary.c_str(), note.body.c_str(),
                                               note.critical ? kCritical : kNormal);
    GVariant* reply = api->g_dbus_connection_call_sync(
        bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
        "Notify", args, nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
    if (!reply) {
        why = error ? error->message : "no answer";
        if (error) api->g_error_free(error);
        return false;
    }
    api->g_variant_unref(reply);
    return true;
}

RefreshObserver MakeSessionNotifier(std::function<bool()> enabled, std::function<void(StatusMessage)> post) {
    struct State {
        std::mutex lock;
        DesktopNotePlanner planner;
        bool reportedMissing = false;
    };
    auto state = std::make_shared<State>();
    return [state, enabled = std::move(enabled), post = std::move(post)](
               const RefreshSnapshot& snapshot, const std::vector<ChannelOutcome>& outcomes) {
        std::lock_guard<std::mutex> guard(state->lock);
        // Planned even when switched off, so that a failure that began while
        // off is not announced as new when switched on.
        const std::vector<DesktopNote> notes = state->planner.Plan(snapshot, outcomes);
        if (notes.empty() || (enabled && !enabled())) return;
        for (const DesktopNote& n : notes) {
            std::string why;
            if (SendSessionNote(n, why)) continue;
            if (!state->reportedMissing && post) {
                state->reportedMissing = true;
                post(Message<Msg::NoNotificationService>("org.freedesktop.Notifications", why));
            }
            return;
        }
    };
}

}  // namespace zelmar

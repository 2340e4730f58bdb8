// The desktop keyring through libsecret.
//
// Every call runs with a GCancellable that a watchdog thread cancels when the
// time is up, so a Secret Service that hangs costs at most that long. Nothing
// here ever unlocks: a locked collection or item counts as no Secret Service,
// because unlocking would show a prompt (or wait for one that no display can
// show, before login or in a service).
//
// libsecret (and the GLib under it) is loaded when the keyring is first
// used, not with the program: a run whose secrets all sit in the settings
// file never maps it, and a machine without it has no keyring, not a
// program that cannot start.
#include <libsecret/secret.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include "app/core/runtime_library.h"
#include "app/core/secret_store.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

// The functions used here, looked up in libsecret and the libraries it
// brings (GLib, GIO).
#define ZELMAR_SECRET_FUNCTIONS(X)                                                                            \
    X(g_cancellable_new) X(g_cancellable_cancel) X(g_cancellable_is_cancelled) X(g_object_unref)             \
    X(g_hash_table_unref) X(g_clear_error) X(g_list_free_full) X(g_bus_get_sync)                              \
    X(g_dbus_connection_set_exit_on_close) X(secret_attributes_build) X(secret_service_search_sync)            \
    X(secret_item_get_locked) X(secret_item_get_secret) X(secret_value_get) X(secret_value_unref)             \
    X(secret_value_new) X(secret_item_create_sync) X(secret_item_delete_sync) X(secret_service_get_sync)      \
    X(secret_collection_for_alias_sync) X(secret_collection_get_locked) X(secret_item_get_attributes)          \
    X(g_hash_table_lookup) X(g_list_remove_link)

struct SecretApi {
    ZELMAR_RUNTIME_API_MEMBERS(ZELMAR_SECRET_FUNCTIONS)
};

const SecretApi* LoadSecretApi(std::string& why) {
    return LoadRuntimeApi<SecretApi>(
        "libsecret-1.so.0", "libsecret",
        [](void* handle, SecretApi& api) { ZELMAR_RUNTIME_API_RESOLVE(ZELMAR_SECRET_FUNCTIONS, handle, api) }, why);
}

const SecretSchema& Schema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.zelmar.Password";
        // Items are found by their attributes alone, so that one stored by
        // hand (secret-tool store program zelmar ...) is found too.
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        const char* names[] = {"program", "kind", "server", "account", "port", "folder"};
        for (int i = 0; i < 6; ++i) {
            s.attributes[i].name = names[i];
            s.attributes[i].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        }
        return s;
    }();
    return schema;
}

// The time the keyring may cost one run, shared by every keyring object:
// what the calls have waited so far, and whether one ran out of time.
struct RunBudget {
    std::mutex mutex;
    std::chrono::milliseconds left = kKeyringRunBudget;
    std::chrono::milliseconds total = kKeyringRunBudget;
    bool timedOut = false;
};
RunBudget& Budget() {
    static RunBudget budget;
    return budget;
}

// Cancels its cancellable when the time is up, unless it ended first. The
// time is the call's own limit or what is left of the run's, whichever is
// shorter; the time the call took is taken off the run's.
class Deadline {
public:
    Deadline(const SecretApi* api, std::chrono::milliseconds limit)
        : api_(api), cancellable_(api->g_cancellable_new()), start_(std::chrono::steady_clock::now()) {
        {
            RunBudget& b = Budget();
            std::lock_guard<std::mutex> lock(b.mutex);
            timeout_ = std::min(limit, b.left);
            runLimited_ = b.left < limit;
            runTotal_ = b.total;
        }
        thread_ = std::thread([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!done_cv_.wait_for(lock, timeout_, [this] { return done_; })) api_->g_cancellable_cancel(cancellable_);
        });
    }
    ~Deadline() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
        const bool timedOut = expired();
        api_->g_object_unref(cancellable_);
        RunBudget& b = Budget();
        std::lock_guard<std::mutex> lock(b.mutex);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
        b.left = took < b.left ? b.left - took : std::chrono::milliseconds(0);
        b.timedOut = b.timedOut || timedOut;
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    GCancellable* get() const { return cancellable_; }
    bool expired() const { return api_->g_cancellable_is_cancelled(cancellable_); }
    // What the time-out was, for the message.
    std::string Limit() const {
        const auto ms = runLimited_ ? runTotal_ : timeout_;
        return std::to_string(ms.count() / 1000.0).substr(0, 4) + " s" + (runLimited_ ? " in all" : "");
    }

private:
    const SecretApi* api_;
    GCancellable* cancellable_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::milliseconds timeout_{0};
    std::chrono::milliseconds runTotal_{0};
    bool runLimited_ = false;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

// True (with why) when the run has no keyring time left: the keyring then
// counts as absent without being asked.
bool RunOutOfTime(std::string& why) {
    RunBudget& b = Budget();
    std::lock_guard<std::mutex> lock(b.mutex);
    if (!b.timedOut && b.left.count() > 0) return false;
    why = Text<Msg::KeyringSilent>();
    return true;
}

// The id's attributes; port and folder only when the id has them (an item
// from before folders has neither).
struct Attributes {
    Attributes(const SecretApi* api, const SecretId& id) : api_(api) {
        const char* names[2] = {nullptr, nullptr};
        const char* values[2] = {nullptr, nullptr};
        int n = 0;
        if (!id.port.empty()) names[n] = "port", values[n++] = id.port.c_str();
        if (!id.folder.empty()) names[n] = "folder", values[n++] = id.folder.c_str();
        table = api_->secret_attributes_build(&Schema(), "program", "zelmar", "kind", id.kind.c_str(), "server",
                                              id.server.c_str(), "account", id.account.c_str(), names[0], values[0],
                                              names[1], values[1], nullptr);
    }
    ~Attributes() { api_->g_hash_table_unref(table); }
    Attributes(const Attributes&) = delete;
    Attributes& operator=(const Attributes&) = delete;
    const SecretApi* api_;
    GHashTable* table = nullptr;
};

// Takes a GError and gives its message (or the time-out).
std::string Reason(const SecretApi* api_, GError*& error, const Deadline& deadline) {
    std::string why = deadline.expired() ? Text<Msg::KeyringTimedOut>(deadline.Limit())
                      : error != nullptr ? error->message
                                         : Text<Msg::UnknownError>();
    api_->g_clear_error(&error);
    return why;
}

// A session bus is there to be used: named in the environment, or the
// per-user socket systemd provides. Without one GLib would try to start a
// bus of its own, which is not ours to do.
bool SessionBusNamed() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime) return false;
    struct stat st {};
    return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

class SecretServiceKeyring : public Keyring {
public:
    explicit SecretServiceKeyring(std::chrono::milliseconds timeout) : timeout_(timeout) {}
    ~SecretServiceKeyring() override {
        if (service_) api_->g_object_unref(service_);
    }

    Status Probe(std::string& why) override {
        if (!Loaded(why)) return Status::Unavailable;
        Deadline deadline(api_, timeout_);
        SecretCollection* collection = nullptr;
        const Status st = DefaultCollection(deadline, collection, why);
        if (collection) api_->g_object_unref(collection);
        return st;
    }

    Status Lookup(const SecretId& id, std::string& secret, std::string& why) override {
        if (!Loaded(why)) return Status::Unavailable;
        Deadline deadline(api_, timeout_);
        GList* items = nullptr;
        // Without SECRET_SEARCH_ALL the service returns one match, in no set
        // order; for an id without a folder that one may be a folder's own
        // item, which Search then drops, and the older shared item would
        // seem missing. So every match comes back and the first kept wins.
        const auto flags = static_cast<SecretSearchFlags>(
            id.folder.empty() ? SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_LOAD_SECRETS);
        if (const Status st = Search(id, flags, deadline, items, why); st != Status::Ok) return st;
        Status result = Status::NotFound;
        if (items) {
            auto* item = static_cast<SecretItem*>(items->data);
            SecretValue* value = api_->secret_item_get_locked(item) ? nullptr : api_->secret_item_get_secret(item);
            if (value) {
                gsize length = 0;
                const gchar* data = api_->secret_value_get(value, &length);
                secret.assign(data, length);
                api_->secret_value_unref(value);
                result = Status::Ok;
            } else {
                why = Text<Msg::KeyringLocked>();
                result = Status::Unavailable;
            }
        }
        api_->g_list_free_full(items, api_->g_object_unref);
        return result;
    }

    Status Store(const SecretId& id, const std::string& secret, std::string& why) override {
        if (!Loaded(why)) return Status::Unavailable;
        Deadline deadline(api_, timeout_);
        SecretCollection* collection = nullptr;
        const Status st = DefaultCollection(deadline, collection, why);
        if (st != Status::Ok) return st;
        Attributes attrs(api_, id);
        const std::string label = "Zelmar " + id.kind + " password for " +
                                  (id.account.empty() ? id.server : id.account + "@" + id.server);
        SecretValue* value = api_->secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
        GError* error = nullptr;
        SecretItem* item = api_->secret_item_create_sync(collection, &Schema(), attrs.table, label.c_str(), value,
                                                   SECRET_ITEM_CREATE_REPLACE, deadline.get(), &error);
        api_->secret_value_unref(value);
        api_->g_object_unref(collection);
        if (!item) {
            why = Reason(api_, error, deadline);
            return Status::Failed;
        }
        api_->g_object_unref(item);
        return Status::Ok;
    }

    Status Remove(const SecretId& id, std::string& why) override {
        if (!Loaded(why)) return Status::Unavailable;
        Deadline deadline(api_, timeout_);
        GList* items = nullptr;
        if (const Status st = Search(id, SECRET_SEARCH_ALL, deadline, items, why); st != Status::Ok) return st;
        GError* error = nullptr;
        Status result = items ? Status::Ok : Status::NotFound;
        for (GList* l = items; l; l = l->next) {
            auto* item = static_cast<SecretItem*>(l->data);
            if (api_->secret_item_get_locked(item)) {
                why = Text<Msg::KeyringLocked>();
                result = Status::Unavailable;
                continue;
            }
            if (!api_->secret_item_delete_sync(item, deadline.get(), &error)) {
                why = Reason(api_, error, deadline);
                result = Status::Failed;
            }
        }
        api_->g_list_free_full(items, api_->g_object_unref);
        return result;
    }

private:
    // libsecret, loaded at the first call that can use it: without a
    // session bus there is no keyring to ask, and nothing is loaded.
    bool Loaded(std::string& why) {
        if (RunOutOfTime(why)) return false;
        if (api_) return true;
        if (!SessionBusNamed()) {
            why = Text<Msg::NoSessionBus>();
            return false;
        }
        api_ = LoadSecretApi(why);
        return api_ != nullptr;
    }

    // The items with the id's attributes (none: an empty list), to be freed
    // with g_list_free_full.
    Status Search(const SecretId& id, SecretSearchFlags flags, const Deadline& deadline, GList*& items,
                  std::string& why) {
        const Status st = Connect(deadline, why);
        if (st != Status::Ok) return st;
        Attributes attrs(api_, id);
        GError* error = nullptr;
        items = api_->secret_service_search_sync(service_, &Schema(), attrs.table, flags, deadline.get(), &error);
        if (error) {
            why = Reason(api_, error, deadline);
            return Status::Failed;
        }
        // A search matches every item that has the attributes asked for:
        // one from before folders must not find a folder's own item.
        if (id.folder.empty()) {
            for (GList* l = items; l;) {
                GList* next = l->next;
                GHashTable* found = api_->secret_item_get_attributes(static_cast<SecretItem*>(l->data));
                const bool foldered = found && api_->g_hash_table_lookup(found, "folder") != nullptr;
                if (found) api_->g_hash_table_unref(found);
                if (foldered) {
                    items = api_->g_list_remove_link(items, l);
                    api_->g_list_free_full(l, api_->g_object_unref);
                }
                l = next;
            }
        }
        return Status::Ok;
    }

    // Connects once per object. A session bus that ends while the program
    // runs leaves GLib's shared connection closed: the keyring then counts
    // as unavailable (the secrets stay where they are or go to the file)
    // until the program starts again.
    Status Connect(const Deadline& deadline, std::string& why) {
        if (service_) return Status::Ok;
        if (!SessionBusNamed()) {
            why = Text<Msg::NoSessionBus>();
            return Status::Unavailable;
        }
        GError* error = nullptr;
        GDBusConnection* bus = api_->g_bus_get_sync(G_BUS_TYPE_SESSION, deadline.get(), &error);
        if (!bus) {
            why = Text<Msg::NoSessionBusBecause>(Reason(api_, error, deadline));
            return Status::Unavailable;
        }
        // The end of the session bus must not end the program with it.
        api_->g_dbus_connection_set_exit_on_close(bus, FALSE);
        service_ = api_->secret_service_get_sync(SECRET_SERVICE_NONE, deadline.get(), &error);
        api_->g_object_unref(bus);
        if (!service_) {
            why = Text<Msg::NoSecretServiceBecause>(Reason(api_, error, deadline));
            return Status::Unavailable;
        }
        return Status::Ok;
    }

    // The collection new items go to, when it exists and is unlocked;
    // creating or unlocking it would need a prompt.
    Status DefaultCollection(const Deadline& deadline, SecretCollection*& collection, std::string& why) {
        const Status st = Connect(deadline, why);
        if (st != Status::Ok) return st;
        GError* error = nullptr;
        collection = api_->secret_collection_for_alias_sync(service_, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                      deadline.get(), &error);
        if (error) {
            why = Text<Msg::NoSecretServiceBecause>(Reason(api_, error, deadline));
            if (collection) api_->g_object_unref(collection);
            collection = nullptr;
            return Status::Unavailable;
        }
        if (!collection) {
            why = Text<Msg::KeyringNoCollection>();
            return Status::Unavailable;
        }
        if (api_->secret_collection_get_locked(collection)) {
            api_->g_object_unref(collection);
            collection = nullptr;
            why = Text<Msg::KeyringLocked>();
            return Status::Unavailable;
        }
        return Status::Ok;
    }

    std::chrono::milliseconds timeout_;
    const SecretApi* api_ = nullptr;
    SecretService* service_ = nullptr;
};

}  // namespace

void StartKeyringRun(std::chrono::milliseconds budget) {
    RunBudget& b = Budget();
    std::lock_guard<std::mutex> lock(b.mutex);
    b.left = b.total = budget;
    b.timedOut = false;
}

std::unique_ptr<Keyring> MakeSecretServiceKeyring(std::chrono::milliseconds timeout) {
    return std::make_unique<SecretServiceKeyring>(timeout);
}

}  // namespace zelmar

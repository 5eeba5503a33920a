#include "platform/secret/SecretStore.h"

#include <libsecret/secret.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/core/SharedLibrary.h"
#include "platform/core/ThreadHooks.h"

namespace platform {

namespace {

// libsecret, opened on first use rather than linked: linked, it and its
// cipher library were loaded and relocated at every start of the application,
// although passwords are only asked for once a folder is opened. Without it
// the store is unavailable, as without a Secret Service.
struct Libsecret {
    decltype(&secret_service_get_sync) serviceGetSync = nullptr;
    decltype(&secret_service_search_sync) searchSync = nullptr;
    decltype(&secret_service_lock_sync) lockSync = nullptr;
    decltype(&secret_service_unlock_sync) unlockSync = nullptr;
    decltype(&secret_collection_for_alias_sync) collectionForAlias = nullptr;
    decltype(&secret_item_get_locked) itemLocked = nullptr;
    decltype(&secret_item_get_secret) itemSecret = nullptr;
    decltype(&secret_item_get_attributes) itemAttributes = nullptr;
    decltype(&secret_item_get_label) itemLabel = nullptr;
    decltype(&secret_password_storev_binary_sync) storeBinary = nullptr;
    decltype(&secret_password_clearv_sync) clear = nullptr;
    decltype(&secret_value_new) valueNew = nullptr;
    decltype(&secret_value_get) valueGet = nullptr;
    decltype(&secret_value_unref) valueUnref = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;  // from libsecret's own GObject
    decltype(&g_bus_get_sync) busGetSync = nullptr;   // its GIO
    decltype(&g_dbus_connection_call_sync) callSync = nullptr;
    bool loaded = false;
};

Libsecret loadLibsecret() {
    Libsecret l;
    void* lib = openSharedLibrary("libsecret-1.so.0");
    if (!lib) return l;
    l.loaded = bindSharedSymbol(lib, "secret_service_get_sync", l.serviceGetSync) &&
               bindSharedSymbol(lib, "secret_service_search_sync", l.searchSync) &&
               bindSharedSymbol(lib, "secret_service_lock_sync", l.lockSync) &&
               bindSharedSymbol(lib, "secret_service_unlock_sync", l.unlockSync) &&
               bindSharedSymbol(lib, "secret_collection_for_alias_sync", l.collectionForAlias) &&
               bindSharedSymbol(lib, "secret_item_get_locked", l.itemLocked) &&
               bindSharedSymbol(lib, "secret_item_get_secret", l.itemSecret) &&
               bindSharedSymbol(lib, "secret_item_get_attributes", l.itemAttributes) &&
               bindSharedSymbol(lib, "secret_item_get_label", l.itemLabel) &&
               bindSharedSymbol(lib, "secret_password_storev_binary_sync", l.storeBinary) &&
               bindSharedSymbol(lib, "secret_password_clearv_sync", l.clear) &&
               bindSharedSymbol(lib, "secret_value_new", l.valueNew) &&
               bindSharedSymbol(lib, "secret_value_get", l.valueGet) &&
               bindSharedSymbol(lib, "secret_value_unref", l.valueUnref) &&
               bindSharedSymbol(lib, "g_object_unref", l.objectUnref) &&
               bindSharedSymbol(lib, "g_bus_get_sync", l.busGetSync) &&
               bindSharedSymbol(lib, "g_dbus_connection_call_sync", l.callSync);
    return l;
}

const Libsecret& libsecret() {
    static const Libsecret l = loadLibsecret();
    return l;
}

// The attributes after the given ones, and the reserved fields, stay zero.
SecretSchema makeSchema(const char* name, std::initializer_list<SecretSchemaAttribute> attributes) {
    SecretSchema schema{};
    schema.name = name;
    schema.flags = SECRET_SCHEMA_NONE;
    std::size_t i = 0;
    for (const auto& a : attributes) schema.attributes[i++] = a;
    return schema;
}

const SecretSchema* schemaOf(SecretStore::Schema which) {
    static const SecretSchema password = makeSchema(
        SecretStore::kSchemaName,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}});
    static const SecretSchema internet = makeSchema(
        SecretStore::kInternetSchemaName, {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"path", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                           {"port", SECRET_SCHEMA_ATTRIBUTE_INTEGER},
                                           {"protocol", SECRET_SCHEMA_ATTRIBUTE_INTEGER}});
    return which == SecretStore::Schema::Internet ? &internet : &password;
}

bool isSchemaAttribute(const SecretSchema* schema, const char* name) {
    for (const auto& a : schema->attributes) {
        if (!a.name) break;
        if (std::string(a.name) == name) return true;
    }
    return false;
}

bool fail(GError* gerror, Error* error, int code = -1,
          const char* what = "the Secret Service failed") {
    if (error)
        *error = Error{SecretStore::kErrorDomain, gerror ? gerror->code : code,
                       gerror ? gerror->message : what};
    if (gerror) g_error_free(gerror);
    return false;
}

struct TableUnref {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Table = std::unique_ptr<GHashTable, TableUnref>;

// Points into `attributes`, which must outlive the table.
Table tableOf(const SecretStore::Attributes& attributes) {
    Table t(g_hash_table_new(g_str_hash, g_str_equal));
    for (const auto& [name, value] : attributes)
        g_hash_table_insert(t.get(), const_cast<char*>(name.c_str()),
                            const_cast<char*>(value.c_str()));
    return t;
}

bool isText(const std::string& s) {
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

// The shared connection to the service; none (error set) when it fails.
SecretService* connect(Error* error) {
    const Libsecret& lib = libsecret();
    if (!lib.loaded) {
        fail(nullptr, error);
        return nullptr;
    }
    GError* gerror = nullptr;
    SecretService* service = lib.serviceGetSync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
    if (!service) fail(gerror, error);
    return service;
}

// Locks or unlocks the default collection.
bool setDefaultCollectionLocked(bool lock, Error* error) {
    if (error) *error = Error{};
    const Libsecret& lib = libsecret();
    SecretService* service = connect(error);
    if (!service) return false;
    GError* gerror = nullptr;
    SecretCollection* collection =
        lib.collectionForAlias(service, "default", SECRET_COLLECTION_NONE, nullptr, &gerror);
    bool ok = false;
    if (!collection) {
        fail(gerror, error, -1, "there is no default collection");
    } else {
        GList objects{collection, nullptr, nullptr};
        GList* done = nullptr;
        const gint n = lock ? lib.lockSync(service, &objects, nullptr, &done, &gerror)
                            : lib.unlockSync(service, &objects, nullptr, &done, &gerror);
        g_list_free_full(done, lib.objectUnref);
        ok = n > 0 && !gerror;
        if (!ok)
            fail(gerror, error, -1,
                 lock ? "the collection was not locked" : "the collection was not unlocked");
        lib.objectUnref(collection);
    }
    lib.objectUnref(service);
    return ok;
}

// libsecret waits up to 25 s for a service that holds its bus name but
// never answers; this asks it something harmless with a short time-out first.
constexpr int kServiceTimeoutMs = 2000;
constexpr auto kRecheckWhenUnavailable = std::chrono::milliseconds(500);
constexpr auto kRecheckWhenAvailable = std::chrono::seconds(30);

bool serviceAnswers(const Libsecret& lib) {
    GError* gerror = nullptr;
    GDBusConnection* bus = lib.busGetSync(G_BUS_TYPE_SESSION, nullptr, &gerror);
    if (!bus) {
        if (gerror) g_error_free(gerror);
        return false;
    }
    GVariant* reply =
        lib.callSync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                     "org.freedesktop.DBus.Properties", "Get",
                     g_variant_new("(ss)", "org.freedesktop.Secret.Service", "Collections"),
                     nullptr, G_DBUS_CALL_FLAGS_NONE, kServiceTimeoutMs, nullptr, &gerror);
    lib.objectUnref(bus);
    if (!reply) {
        if (gerror) g_error_free(gerror);
        return false;
    }
    g_variant_unref(reply);
    return true;
}

struct AvailabilityCache {
    std::mutex mutex;
    std::optional<bool> answer;
    bool checking = false;
    std::chrono::steady_clock::time_point checkedAt{};
    std::vector<std::function<void(bool)>> observers;
};

// Never destroyed: a check still running when the process ends uses it.
AvailabilityCache& availabilityCache() {
    static auto* cache = new AvailabilityCache;
    return *cache;
}

}  // namespace

bool SecretStore::isAvailable() {
    if (!libsecret().loaded || !serviceAnswers(libsecret())) return false;
    GError* gerror = nullptr;
    SecretService* service =
        libsecret().serviceGetSync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
    if (!service) {
        if (gerror) g_error_free(gerror);
        return false;
    }
    libsecret().objectUnref(service);
    return true;
}

std::optional<bool> SecretStore::cachedAvailability() {
    AvailabilityCache& cache = availabilityCache();
    std::lock_guard lock(cache.mutex);
    const auto age = std::chrono::steady_clock::now() - cache.checkedAt;
    const bool stale =
        !cache.answer ||
        age >= (*cache.answer ? std::chrono::steady_clock::duration(kRecheckWhenAvailable)
                              : kRecheckWhenUnavailable);
    if (stale && !cache.checking) {
        cache.checking = true;
        std::thread([] {
            threadDidStart();
            const bool available = isAvailable();
            AvailabilityCache& c = availabilityCache();
            std::vector<std::function<void(bool)>> observers;
            {
                std::lock_guard guard(c.mutex);
                if (c.answer != available) observers = c.observers;
                c.answer = available;
                c.checking = false;
                c.checkedAt = std::chrono::steady_clock::now();
            }
            for (const auto& observer : observers) observer(available);
        }).detach();
    }
    return cache.answer;
}

void SecretStore::addAvailabilityObserver(std::function<void(bool)> observer) {
    AvailabilityCache& cache = availabilityCache();
    std::lock_guard lock(cache.mutex);
    cache.observers.push_back(std::move(observer));
}

std::optional<SecretStore::Item> SecretStore::find(Schema schema, const Attributes& match,
                                                   Error* error) {
    if (error) *error = Error{};
    const Libsecret& lib = libsecret();
    SecretService* service = connect(error);
    if (!service) return std::nullopt;
    const SecretSchema* s = schemaOf(schema);
    GError* gerror = nullptr;
    // No SECRET_SEARCH_UNLOCK: a locked item is skipped, never prompted for.
    GList* found = lib.searchSync(
        service, s, tableOf(match).get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
        &gerror);
    std::optional<Item> result;
    bool locked = false;
    for (GList* l = found; l && !result; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        SecretValue* value = lib.itemLocked(item) ? nullptr : lib.itemSecret(item);
        if (!value) {
            locked = true;
            continue;
        }
        Item r;
        gsize length = 0;
        const gchar* bytes = lib.valueGet(value, &length);
        r.secret.assign(bytes, bytes + length);
        lib.valueUnref(value);
        if (gchar* label = lib.itemLabel(item)) {
            r.label = label;
            g_free(label);
        }
        GHashTable* attributes = lib.itemAttributes(item);
        GHashTableIter it;
        gpointer name = nullptr, text = nullptr;
        g_hash_table_iter_init(&it, attributes);
        while (g_hash_table_iter_next(&it, &name, &text))
            if (isSchemaAttribute(s, static_cast<const char*>(name)))
                r.attributes[static_cast<const char*>(name)] = static_cast<const char*>(text);
        g_hash_table_unref(attributes);
        result = std::move(r);
    }
    g_list_free_full(found, lib.objectUnref);
    lib.objectUnref(service);
    if (gerror)
        fail(gerror, error);
    else if (!result && locked)
        fail(nullptr, error, kLocked, "the item is locked");
    return result;
}

bool SecretStore::store(Schema schema, const Attributes& attributes,
                        const std::vector<uint8_t>& secret, const std::string& label,
                        Error* error) {
    if (error) *error = Error{};
    const Libsecret& lib = libsecret();
    if (!lib.loaded) return fail(nullptr, error);
    // D-Bus carries only UTF-8 text; anything else would be refused deep in
    // the bus layer.
    bool text = isText(label);
    for (const auto& [name, value] : attributes) text = text && isText(name) && isText(value);
    if (!text) return fail(nullptr, error, EINVAL, "attributes and label must be UTF-8 text");
    GError* gerror = nullptr;
    SecretValue* value =
        lib.valueNew(reinterpret_cast<const gchar*>(secret.data()),
                     static_cast<gssize>(secret.size()), "application/octet-stream");
    const gboolean ok =
        lib.storeBinary(schemaOf(schema), tableOf(attributes).get(), SECRET_COLLECTION_DEFAULT,
                        label.c_str(), value, nullptr, &gerror);
    lib.valueUnref(value);
    return ok ? true : fail(gerror, error);
}

bool SecretStore::remove(Schema schema, const Attributes& match, Error* error) {
    if (error) *error = Error{};
    const Libsecret& lib = libsecret();
    if (!lib.loaded) return fail(nullptr, error);
    GError* gerror = nullptr;
    const gboolean removed = lib.clear(schemaOf(schema), tableOf(match).get(), nullptr, &gerror);
    if (gerror) return fail(gerror, error);
    return removed;
}

bool SecretStore::lockDefaultCollection(Error* error) {
    return setDefaultCollectionLocked(true, error);
}

bool SecretStore::unlockDefaultCollection(Error* error) {
    return setDefaultCollectionLocked(false, error);
}

std::optional<std::vector<uint8_t>> SecretStore::lookup(const std::string& service,
                                                        const std::string& account, Error* error) {
    auto item = find(Schema::Password, {{"service", service}, {"account", account}}, error);
    if (!item) return std::nullopt;
    return std::move(item->secret);
}

bool SecretStore::store(const std::string& service, const std::string& account,
                        const std::vector<uint8_t>& secret, const std::string& label,
                        Error* error) {
    return store(Schema::Password, {{"service", service}, {"account", account}}, secret, label,
                 error);
}

bool SecretStore::remove(const std::string& service, const std::string& account, Error* error) {
    return remove(Schema::Password, {{"service", service}, {"account", account}}, error);
}

}  // namespace platform

#include "platform/secret/SecretStore.h"

#include <libsecret/secret.h>

#include "platform/core/SharedLibrary.h"

namespace platform {

namespace {

// libsecret, opened on first use rather than linked: linked, it and its
// cipher library were loaded and relocated at every start of the application,
// although passwords are only asked for once a folder is opened. Without it
// the store is unavailable, as without a Secret Service.
struct Libsecret {
    decltype(&secret_service_get_sync) serviceGetSync = nullptr;
    decltype(&secret_password_lookupv_binary_sync) lookupBinary = nullptr;
    decltype(&secret_password_storev_binary_sync) storeBinary = nullptr;
    decltype(&secret_password_clearv_sync) clear = nullptr;
    decltype(&secret_value_new) valueNew = nullptr;
    decltype(&secret_value_get) valueGet = nullptr;
    decltype(&secret_value_unref) valueUnref = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;  // from libsecret's own GObject
    bool loaded = false;
};

Libsecret loadLibsecret() {
    Libsecret l;
    void* lib = openSharedLibrary("libsecret-1.so.0");
    if (!lib) return l;
    l.loaded = bindSharedSymbol(lib, "secret_service_get_sync", l.serviceGetSync) &&
               bindSharedSymbol(lib, "secret_password_lookupv_binary_sync", l.lookupBinary) &&
               bindSharedSymbol(lib, "secret_password_storev_binary_sync", l.storeBinary) &&
               bindSharedSymbol(lib, "secret_password_clearv_sync", l.clear) &&
               bindSharedSymbol(lib, "secret_value_new", l.valueNew) &&
               bindSharedSymbol(lib, "secret_value_get", l.valueGet) &&
               bindSharedSymbol(lib, "secret_value_unref", l.valueUnref) &&
               bindSharedSymbol(lib, "g_object_unref", l.objectUnref);
    return l;
}

const Libsecret& libsecret() {
    static const Libsecret l = loadLibsecret();
    return l;
}

const SecretSchema* schema() {
    static const SecretSchema s = {SecretStore::kSchemaName,
                                   SECRET_SCHEMA_NONE,
                                   {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                    {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

GHashTable* attributes(const std::string& service, const std::string& account) {
    GHashTable* a = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(a, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
    g_hash_table_insert(a, const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    return a;
}

bool fail(GError* gerror, Error* error) {
    if (error)
        *error = Error{"SecretServiceErrorDomain", gerror ? gerror->code : -1,
                       gerror ? gerror->message : "the Secret Service failed"};
    if (gerror) g_error_free(gerror);
    return false;
}

}  // namespace

bool SecretStore::isAvailable() {
    if (!libsecret().loaded) return false;
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

std::optional<std::vector<uint8_t>> SecretStore::lookup(const std::string& service,
                                                        const std::string& account, Error* error) {
    if (error) *error = Error{};
    const Libsecret& lib = libsecret();
    if (!lib.loaded) {
        fail(nullptr, error);
        return std::nullopt;
    }
    GError* gerror = nullptr;
    GHashTable* a = attributes(service, account);
    SecretValue* value = lib.lookupBinary(schema(), a, nullptr, &gerror);
    g_hash_table_unref(a);
    if (!value) {
        if (gerror) fail(gerror, error);
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* bytes = lib.valueGet(value, &length);
    std::vector<uint8_t> secret(bytes, bytes + length);
    lib.valueUnref(value);
    return secret;
}

bool SecretStore::store(const std::string& service, const std::string& account,
                        const std::vector<uint8_t>& secret, const std::string& label,
                        Error* error) {
    const Libsecret& lib = libsecret();
    if (!lib.loaded) return fail(nullptr, error);
    GError* gerror = nullptr;
    GHashTable* a = attributes(service, account);
    SecretValue* value =
        lib.valueNew(reinterpret_cast<const gchar*>(secret.data()),
                     static_cast<gssize>(secret.size()), "application/octet-stream");
    const gboolean ok = lib.storeBinary(schema(), a, SECRET_COLLECTION_DEFAULT, label.c_str(),
                                        value, nullptr, &gerror);
    lib.valueUnref(value);
    g_hash_table_unref(a);
    return ok ? true : fail(gerror, error);
}

bool SecretStore::remove(const std::string& service, const std::string& account, Error* error) {
    const Libsecret& lib = libsecret();
    if (!lib.loaded) return fail(nullptr, error);
    GError* gerror = nullptr;
    GHashTable* a = attributes(service, account);
    const gboolean removed = lib.clear(schema(), a, nullptr, &gerror);
    g_hash_table_unref(a);
    if (gerror) return fail(gerror, error);
    return removed;
}

}  // namespace platform

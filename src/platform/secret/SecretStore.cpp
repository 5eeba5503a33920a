#include "platform/secret/SecretStore.h"

#include <libsecret/secret.h>

namespace platform {

namespace {

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
    GError* gerror = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &gerror);
    if (!service) {
        if (gerror) g_error_free(gerror);
        return false;
    }
    g_object_unref(service);
    return true;
}

std::optional<std::vector<uint8_t>> SecretStore::lookup(const std::string& service,
                                                        const std::string& account, Error* error) {
    if (error) *error = Error{};
    GError* gerror = nullptr;
    GHashTable* a = attributes(service, account);
    SecretValue* value = secret_password_lookupv_binary_sync(schema(), a, nullptr, &gerror);
    g_hash_table_unref(a);
    if (!value) {
        if (gerror) fail(gerror, error);
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::vector<uint8_t> secret(bytes, bytes + length);
    secret_value_unref(value);
    return secret;
}

bool SecretStore::store(const std::string& service, const std::string& account,
                        const std::vector<uint8_t>& secret, const std::string& label,
                        Error* error) {
    GError* gerror = nullptr;
    GHashTable* a = attributes(service, account);
    SecretValue* value =
        secret_value_new(reinterpret_cast<const gchar*>(secret.data()),
                         static_cast<gssize>(secret.size()), "application/octet-stream");
    const gboolean ok = secret_password_storev_binary_sync(schema(), a, SECRET_COLLECTION_DEFAULT,
                                                           label.c_str(), value, nullptr, &gerror);
    secret_value_unref(value);
    g_hash_table_unref(a);
    return ok ? true : fail(gerror, error);
}

bool SecretStore::remove(const std::string& service, const std::string& account, Error* error) {
    GError* gerror = nullptr;
    GHashTable* a = attributes(service, account);
    const gboolean removed = secret_password_clearv_sync(schema(), a, nullptr, &gerror);
    g_hash_table_unref(a);
    if (gerror) return fail(gerror, error);
    return removed;
}

}  // namespace platform

// Credentials in the freedesktop Secret Service through libsecret. Each item carries the
// target name and user name as attributes; lookups match both, so a system whose id happens to
// be "site-key" can never read or overwrite the discovery site key.
//
// Only the synchronous libsecret calls are used: they run their own private main context, are
// safe from any thread, and fail quickly when there is no session bus.
#include "store/vault.h"

#include <libsecret/secret.h>

#include <cstring>

#include "log/log.h"

namespace ostrel {
namespace {

constexpr const char* kSiteKeyTarget = "OstrelOps Control/site-key";
constexpr const char* kPasswordUser = "controller";
constexpr const char* kSiteKeyUser = "site-key";

const SecretSchema* credentialSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s;
        std::memset(&s, 0, sizeof s);
        s.name = "org.ostrelops.Control.Credential";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"target", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct Credential {
    std::string target;
    const char* user;
};

Credential passwordCredential(const std::string& systemId) { return {credentialTarget(systemId), kPasswordUser}; }
Credential siteKeyCredential() { return {kSiteKeyTarget, kSiteKeyUser}; }

std::string readSecret(const Credential& credential) {
    GError* error = nullptr;
    SecretValue* value = secret_password_lookup_binary_sync(credentialSchema(), nullptr, &error, "target",
                                                            credential.target.c_str(), "user", credential.user,
                                                            static_cast<char*>(nullptr));
    if (error != nullptr) g_error_free(error);
    if (value == nullptr) return {};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string secret(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
    // libsecret keeps the value in non-pageable memory and wipes it when the last reference goes.
    secret_value_unref(value);
    return secret;
}

bool hasSecret(const Credential& credential) {
    GError* error = nullptr;
    SecretValue* value = secret_password_lookup_binary_sync(credentialSchema(), nullptr, &error, "target",
                                                            credential.target.c_str(), "user", credential.user,
                                                            static_cast<char*>(nullptr));
    if (error != nullptr) g_error_free(error);
    if (value == nullptr) return false;
    secret_value_unref(value);
    return true;
}

bool saveSecret(const Credential& credential, const std::string& label, const std::string& secret) {
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    GError* error = nullptr;
    const gboolean stored = secret_password_store_binary_sync(
        credentialSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr, &error, "target",
        credential.target.c_str(), "user", credential.user, static_cast<char*>(nullptr));
    secret_value_unref(value);
    if (stored && error == nullptr) return true;

    int code = error != nullptr ? error->code : 0;
    std::string message = error != nullptr && error->message != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    // Error texts come from other processes; make sure none of them can echo the secret back.
    if (!secret.empty() && message.find(secret) != std::string::npos) message = "message withheld";
    log::logf(log::Warn, "could not save a credential to the Secret Service (error %d: %s)", code, message.c_str());
    return false;
}

void deleteSecret(const Credential& credential) {
    GError* error = nullptr;
    (void)secret_password_clear_sync(credentialSchema(), nullptr, &error, "target", credential.target.c_str(),
                                      "user", credential.user, static_cast<char*>(nullptr));
    if (error != nullptr) g_error_free(error);
}

}  // namespace

std::string readPassword(const std::string& systemId) {
    if (systemId.empty()) return {};
    return readSecret(passwordCredential(systemId));
}

bool savePassword(const std::string& systemId, const std::string& password) {
    if (systemId.empty()) return false;
    return saveSecret(passwordCredential(systemId), "Ostrel Ops Control password for " + systemId, password);
}

void deletePassword(const std::string& systemId) {
    if (systemId.empty()) return;
    deleteSecret(passwordCredential(systemId));
}

bool hasPassword(const std::string& systemId) {
    if (systemId.empty()) return false;
    return hasSecret(passwordCredential(systemId));
}

std::string readSiteKey() { return readSecret(siteKeyCredential()); }

bool saveSiteKey(const std::string& key) {
    return saveSecret(siteKeyCredential(), "Ostrel Ops Control discovery site key", key);
}

void deleteSiteKey() { deleteSecret(siteKeyCredential()); }

bool hasSiteKey() { return hasSecret(siteKeyCredential()); }

}  // namespace ostrel

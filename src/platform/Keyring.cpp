#include "Keyring.h"

#include <libsecret/secret.h>

#include <memory>

namespace stampo {

namespace {

constexpr const char* fileAttribute = "settings-file";
constexpr const char* keyAttribute = "key";

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema s{};
        s.name = "org.stampo.Settings";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {fileAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {keyAttribute, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &value;
}

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct PasswordFree {
    void operator()(gchar* password) const { secret_password_free(password); }
};
struct ListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using HashTable = std::unique_ptr<GHashTable, HashTableUnref>;

// The attributes point into the given texts, which must outlive the table.
HashTable attributes(const std::string& settingsFile, const std::string* key) {
    HashTable table{g_hash_table_new(g_str_hash, g_str_equal)};
    g_hash_table_insert(table.get(), const_cast<char*>(fileAttribute), const_cast<char*>(settingsFile.c_str()));
    if (key)
        g_hash_table_insert(table.get(), const_cast<char*>(keyAttribute), const_cast<char*>(key->c_str()));
    return table;
}

// Where a call reports its error; frees it.
struct ErrorSlot {
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() {
        if (raw)
            g_error_free(raw);
    }
    bool failed() const { return raw != nullptr; }

    GError* raw = nullptr;
};

} // namespace

Keyring::Keyring(std::string settingsFile)
    : m_settingsFile(std::move(settingsFile)) {}

std::optional<std::map<std::string, std::string>> Keyring::readAll() const {
    const HashTable query = attributes(m_settingsFile, nullptr);
    ErrorSlot error;
    const auto flags =
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    const std::unique_ptr<GList, ListFree> items{
        secret_password_searchv_sync(schema(), query.get(), flags, nullptr, &error.raw)};
    if (error.failed())
        return std::nullopt;
    std::map<std::string, std::string> secrets;
    for (GList* item = items.get(); item; item = item->next) {
        auto* retrievable = static_cast<SecretRetrievable*>(item->data);
        ErrorSlot retrieveError;
        // An item still locked (the user refused to unlock) has no secret to give.
        const std::unique_ptr<SecretValue, ValueUnref> value{
            secret_retrievable_retrieve_secret_sync(retrievable, nullptr, &retrieveError.raw)};
        const char* text = value ? secret_value_get_text(value.get()) : nullptr;
        if (retrieveError.failed() || !text)
            return std::nullopt;
        const HashTable found{secret_retrievable_get_attributes(retrievable)};
        const auto* key = static_cast<const char*>(g_hash_table_lookup(found.get(), keyAttribute));
        if (key)
            secrets.insert_or_assign(key, text);
    }
    return secrets;
}

bool Keyring::store(const std::string& key, const std::string& label, const std::string& secret) const {
    const HashTable item = attributes(m_settingsFile, &key);
    ErrorSlot error;
    const gboolean stored = secret_password_storev_sync(schema(), item.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                                        secret.c_str(), nullptr, &error.raw);
    return stored && !error.failed();
}

std::optional<std::string> Keyring::read(const std::string& key) const {
    const HashTable item = attributes(m_settingsFile, &key);
    ErrorSlot error;
    const std::unique_ptr<gchar, PasswordFree> secret{
        secret_password_lookupv_sync(schema(), item.get(), nullptr, &error.raw)};
    if (error.failed() || !secret)
        return std::nullopt;
    return std::string{secret.get()};
}

bool Keyring::remove(const std::string& key) const {
    const HashTable item = attributes(m_settingsFile, &key);
    ErrorSlot error;
    secret_password_clearv_sync(schema(), item.get(), nullptr, &error.raw);
    return !error.failed();
}

} // namespace stampo

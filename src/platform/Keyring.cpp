#include "Keyring.h"

#include "util/SharedLibrary.h"

#include <libsecret/secret.h>

#include <memory>
#include <utility>

namespace stampo {

namespace {

// libsecret's entry points, loaded on first use rather than linked: libsecret brings GIO and libgcrypt along, which
// would lengthen every start of the program before the tray icon could show, and the first use is on a background
// thread. Null where libsecret is not installed; there is then no keyring.
struct SecretLibrary {
    static const SecretLibrary* instance() {
        static const std::unique_ptr<const SecretLibrary> library = load();
        return library.get();
    }

    decltype(&::secret_password_searchv_sync) searchv = nullptr;
    decltype(&::secret_password_storev_sync) storev = nullptr;
    decltype(&::secret_password_lookupv_sync) lookupv = nullptr;
    decltype(&::secret_password_clearv_sync) clearv = nullptr;
    decltype(&::secret_password_free) passwordFree = nullptr;
    decltype(&::secret_retrievable_retrieve_secret_sync) retrieveSecret = nullptr;
    decltype(&::secret_retrievable_get_attributes) getAttributes = nullptr;
    decltype(&::secret_value_get_text) valueText = nullptr;
    decltype(&::secret_value_unref) valueUnref = nullptr;
    decltype(&::g_hash_table_new) hashTableNew = nullptr;
    decltype(&::g_hash_table_insert) hashTableInsert = nullptr;
    decltype(&::g_hash_table_lookup) hashTableLookup = nullptr;
    decltype(&::g_hash_table_unref) hashTableUnref = nullptr;
    decltype(&::g_str_hash) strHash = nullptr;
    decltype(&::g_str_equal) strEqual = nullptr;
    decltype(&::g_error_free) errorFree = nullptr;
    decltype(&::g_list_free_full) listFreeFull = nullptr;
    decltype(&::g_object_unref) objectUnref = nullptr;

private:
    static std::unique_ptr<const SecretLibrary> load() {
        const SharedLibrary handle("libsecret-1.so.0");
        if (!handle.loaded())
            return nullptr;
        auto library = std::make_unique<SecretLibrary>();
        bool complete = true;
        handle.resolve("secret_password_searchv_sync", library->searchv, complete);
        handle.resolve("secret_password_storev_sync", library->storev, complete);
        handle.resolve("secret_password_lookupv_sync", library->lookupv, complete);
        handle.resolve("secret_password_clearv_sync", library->clearv, complete);
        handle.resolve("secret_password_free", library->passwordFree, complete);
        handle.resolve("secret_retrievable_retrieve_secret_sync", library->retrieveSecret, complete);
        handle.resolve("secret_retrievable_get_attributes", library->getAttributes, complete);
        handle.resolve("secret_value_get_text", library->valueText, complete);
        handle.resolve("secret_value_unref", library->valueUnref, complete);
        handle.resolve("g_hash_table_new", library->hashTableNew, complete);
        handle.resolve("g_hash_table_insert", library->hashTableInsert, complete);
        handle.resolve("g_hash_table_lookup", library->hashTableLookup, complete);
        handle.resolve("g_hash_table_unref", library->hashTableUnref, complete);
        handle.resolve("g_str_hash", library->strHash, complete);
        handle.resolve("g_str_equal", library->strEqual, complete);
        handle.resolve("g_error_free", library->errorFree, complete);
        handle.resolve("g_list_free_full", library->listFreeFull, complete);
        handle.resolve("g_object_unref", library->objectUnref, complete);
        return complete ? std::move(library) : nullptr;
    }
};

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

// Only made once the library is known to be loaded.
const SecretLibrary& lib() {
    return *SecretLibrary::instance();
}

struct HashTableUnref {
    void operator()(GHashTable* table) const { lib().hashTableUnref(table); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const { lib().valueUnref(value); }
};
struct PasswordFree {
    void operator()(gchar* password) const { lib().passwordFree(password); }
};
struct ListFree {
    void operator()(GList* list) const { lib().listFreeFull(list, lib().objectUnref); }
};

using HashTable = std::unique_ptr<GHashTable, HashTableUnref>;

// The attributes point into the given texts, which must outlive the table.
HashTable attributes(const std::string& settingsFile, const std::string* key) {
    HashTable table{lib().hashTableNew(lib().strHash, lib().strEqual)};
    lib().hashTableInsert(table.get(), const_cast<char*>(fileAttribute), const_cast<char*>(settingsFile.c_str()));
    if (key)
        lib().hashTableInsert(table.get(), const_cast<char*>(keyAttribute), const_cast<char*>(key->c_str()));
    return table;
}

// Where a call reports its error; frees it.
struct ErrorSlot {
    ErrorSlot() = default;
    ErrorSlot(const ErrorSlot&) = delete;
    ErrorSlot& operator=(const ErrorSlot&) = delete;
    ~ErrorSlot() {
        if (raw)
            lib().errorFree(raw);
    }
    bool failed() const { return raw != nullptr; }

    GError* raw = nullptr;
};

} // namespace

Keyring::Keyring(std::string settingsFile)
    : m_settingsFile(std::move(settingsFile)) {}

std::optional<std::map<std::string, std::string>> Keyring::readAll() const {
    if (!SecretLibrary::instance())
        return std::nullopt;
    const HashTable query = attributes(m_settingsFile, nullptr);
    ErrorSlot error;
    const auto flags =
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS);
    const std::unique_ptr<GList, ListFree> items{lib().searchv(schema(), query.get(), flags, nullptr, &error.raw)};
    if (error.failed())
        return std::nullopt;
    std::map<std::string, std::string> secrets;
    for (GList* item = items.get(); item; item = item->next) {
        auto* retrievable = static_cast<SecretRetrievable*>(item->data);
        ErrorSlot retrieveError;
        // An item still locked (the user refused to unlock) has no secret to give.
        const std::unique_ptr<SecretValue, ValueUnref> value{
            lib().retrieveSecret(retrievable, nullptr, &retrieveError.raw)};
        const char* text = value ? lib().valueText(value.get()) : nullptr;
        if (retrieveError.failed() || !text)
            return std::nullopt;
        const HashTable found{lib().getAttributes(retrievable)};
        if (const auto* key = static_cast<const char*>(lib().hashTableLookup(found.get(), keyAttribute)))
            secrets.insert_or_assign(key, text);
    }
    return secrets;
}

bool Keyring::store(const std::string& key, const std::string& label, const std::string& secret) const {
    if (!SecretLibrary::instance())
        return false;
    const HashTable item = attributes(m_settingsFile, &key);
    ErrorSlot error;
    const gboolean stored = lib().storev(schema(), item.get(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(),
                                         nullptr, &error.raw);
    return stored && !error.failed();
}

std::optional<std::string> Keyring::read(const std::string& key) const {
    if (!SecretLibrary::instance())
        return std::nullopt;
    const HashTable item = attributes(m_settingsFile, &key);
    ErrorSlot error;
    const std::unique_ptr<gchar, PasswordFree> secret{lib().lookupv(schema(), item.get(), nullptr, &error.raw)};
    if (error.failed() || !secret)
        return std::nullopt;
    return std::string{secret.get()};
}

bool Keyring::remove(const std::string& key) const {
    if (!SecretLibrary::instance())
        return false;
    const HashTable item = attributes(m_settingsFile, &key);
    ErrorSlot error;
    lib().clearv(schema(), item.get(), nullptr, &error.raw);
    return !error.failed();
}

} // namespace stampo

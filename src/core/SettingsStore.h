#pragma once

#include <optional>
#include <string>

namespace stampo {

// The per-user key/value store every setting lives in. Every value the application writes is a text.
// Implementations are safe to call from any thread, and a write is visible to the next read at once.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The stored value in its text form, or none when nothing is stored under the key.
    virtual std::optional<std::string> objectForKey(const std::string& key) const = 0;
    // The stored text, or none when nothing or something other than a text is stored.
    virtual std::optional<std::string> stringForKey(const std::string& key) const = 0;
    virtual void setObjectForKey(const std::string& value, const std::string& key) = 0;
    // Removing a missing key is harmless.
    virtual void removeObjectForKey(const std::string& key) = 0;
};

} // namespace stampo

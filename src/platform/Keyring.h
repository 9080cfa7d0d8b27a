#pragma once

#include <map>
#include <optional>
#include <string>

namespace stampo {

// The items one settings file keeps in the desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC), one per
// settings key, through libsecret. Every call is a round trip that may wait for the user to unlock the keyring, so
// none belongs on the main thread; any thread may make them. Where libsecret is not installed every call fails.
// The calls are virtual so that a Secret Service that misbehaves can be stood in for.
class Keyring {
public:
    // The items are told apart by the settings file's absolute path.
    explicit Keyring(std::string settingsFile);
    virtual ~Keyring() = default;
    Keyring(const Keyring&) = delete;
    Keyring& operator=(const Keyring&) = delete;

    // Every item of the settings file by key, unlocked; none where no Secret Service answers or the user refuses to
    // unlock.
    virtual std::optional<std::map<std::string, std::string>> readAll() const;
    // Creates or replaces the item of `key`, label included.
    virtual bool store(const std::string& key, const std::string& label, const std::string& secret) const;
    // The item's secret; none where there is no item or the service fails.
    virtual std::optional<std::string> read(const std::string& key) const;
    // True when no item of `key` remains.
    virtual bool remove(const std::string& key) const;

private:
    std::string m_settingsFile;
};

} // namespace stampo

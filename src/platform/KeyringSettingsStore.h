#pragma once

#include "SettingsStore.h"
#include "kintone/TransportOptions.h"
#include "settings/SettingsKeys.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace stampo {

class Keyring;

// The settings store that keeps the credentials (the auth code, the proxy password) in the desktop's keyring and every
// other key in the settings file. A credential reaches the keyring through the file: it is written there first, then
// a background thread stores it in the keyring, reads it back, and only then removes it from the file; so a keyring
// that fails, or a process that ends on the way, loses nothing. Without a keyring the credentials stay in the file.
class KeyringSettingsStore final : public SettingsStore {
public:
    // Told once, in words for the user, that the credentials stay in the settings file.
    using Notice = std::function<void(const std::string&)>;
    // The file key listing the credentials the keyring holds instead of the file.
    static constexpr const char* keyringKeysKey = SettingsKeys::keyringKeys;

    // Reads the file's credentials from `keyring` in the background, on a thread `startThread` starts, which may take
    // the user's unlocking it; a read of a credential waits for that, nothing else does. A missing or failing keyring,
    // or no thread, leaves them in `file`.
    KeyringSettingsStore(std::shared_ptr<SettingsStore> file, std::unique_ptr<Keyring> keyring, Notice notice,
                         const TransportOptions::ThreadStarter& startThread = TransportOptions::startDetachedThread);
    // Closes.
    ~KeyringSettingsStore() override;
    KeyringSettingsStore(const KeyringSettingsStore&) = delete;
    KeyringSettingsStore& operator=(const KeyringSettingsStore&) = delete;

    std::optional<std::string> objectForKey(const std::string& key) const override;
    std::optional<std::string> stringForKey(const std::string& key) const override;
    void setObjectForKey(const std::string& value, const std::string& key) override;
    void removeObjectForKey(const std::string& key) override;

    // Runs `loaded` once the keyring's items have been read, or could not be: at once on this thread when they have,
    // else on the store's own thread. From then on no read waits.
    void whenLoaded(std::function<void()> loaded);

    // Waits until every change so far has reached the keyring or failed to; false when `timeout` passed first.
    bool waitIdle(std::chrono::milliseconds timeout) const;
    // Waits a moment for the changes still on their way to the keyring, and ends the store's thread; later changes,
    // and those that do not make it, stay in the file. A keyring that hangs keeps the thread until it answers.
    void close();

private:
    struct State;
    struct Ending;
    std::shared_ptr<State> m_state;
    std::shared_ptr<Ending> m_ending;
};

} // namespace stampo

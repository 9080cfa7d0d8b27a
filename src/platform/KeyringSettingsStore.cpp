#include "KeyringSettingsStore.h"

#include "Keyring.h"
#include "settings/SettingsKeys.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace stampo {

namespace {

using namespace std::chrono_literals;

// How long a closing store lets a keyring write finish; what does not stays in the file.
constexpr auto closingWait = 1s;

bool isSecret(const std::string& key) {
    return std::find(SettingsKeys::secretKeys.begin(), SettingsKeys::secretKeys.end(), key) !=
           SettingsKeys::secretKeys.end();
}

// What a person recognises the item by in the keyring's window.
std::string label(const std::string& key, const std::string& subDomain) {
    std::string text = key == SettingsKeys::authCode ? "Stampo: kintone 認証コード" : "Stampo: プロキシのパスワード";
    if (!subDomain.empty())
        text += " (" + subDomain + ")";
    return text;
}

std::set<std::string> parseKeys(const std::optional<std::string>& text) {
    std::set<std::string> keys;
    std::istringstream words{text.value_or("")};
    for (std::string word; words >> word;)
        if (isSecret(word))
            keys.insert(word);
    return keys;
}

} // namespace

struct KeyringSettingsStore::State {
    State(std::shared_ptr<SettingsStore> settingsFile, std::unique_ptr<Keyring> secrets, Notice tell)
        : file(std::move(settingsFile))
        , keyring(std::move(secrets))
        , notice(std::move(tell)) {}

    // Under `mutex`.
    void setListed(const std::string& key, bool listed) {
        std::set<std::string> keys = parseKeys(file->objectForKey(keyringKeysKey));
        if (listed == (keys.count(key) > 0))
            return;
        if (listed)
            keys.insert(key);
        else
            keys.erase(key);
        if (keys.empty())
            return file->removeObjectForKey(keyringKeysKey);
        std::string text;
        for (const std::string& each : keys)
            text += (text.empty() ? "" : " ") + each;
        file->setObjectForKey(text, keyringKeysKey);
    }

    // Under `mutex`.
    bool listed(const std::string& key) const { return parseKeys(file->objectForKey(keyringKeysKey)).count(key) > 0; }

    // Under `mutex`.
    void enqueue(const std::string& key) {
        if (!usable)
            return;
        if (std::find(queue.begin(), queue.end(), key) == queue.end())
            queue.push_back(key);
        changed.notify_all();
    }

    // Under `mutex`: from now on the credentials stay in the file. `unreadable`: the keyring holds some that cannot
    // be read.
    void giveUp(bool unreadable = false) {
        usable = false;
        queue.clear();
        if (std::exchange(told, true) || !notice)
            return;
        std::string text = "stampo: Secret Service を利用できないため、認証コードとプロキシのパスワードは設定ファイル "
                           "(0600) に保存します";
        if (unreadable)
            text += "。キーリングに保存したものは読み込めません";
        notice(text);
    }

    // Brings the keyring into agreement with what the store holds for `key` now.
    void reconcile(const std::string& key) {
        std::unique_lock lock{mutex};
        const std::optional<std::string> inFile = file->stringForKey(key);
        const auto kept = inKeyring.find(key);
        const std::optional<std::string> keptValue =
            kept == inKeyring.end() ? std::nullopt : std::optional<std::string>{kept->second};
        const bool wasListed = listed(key);
        const std::string name = label(key, file->stringForKey(SettingsKeys::subDomain).value_or(""));
        lock.unlock();

        if (inFile && !inFile->empty()) {
            if (!keyring->store(key, name, *inFile) || keyring->read(key) != inFile)
                return fail();
            lock.lock();
            // Changed meanwhile: the change's own turn follows.
            if (file->stringForKey(key) != inFile)
                return;
            // Listed first: a process ending between the two writes finds the credential still in the file, which wins.
            setListed(key, true);
            inKeyring.insert_or_assign(key, *inFile);
            file->removeObjectForKey(key);
        } else if (keptValue) {
            // The label follows the subdomain.
            if (!keyring->store(key, name, *keptValue))
                return fail();
        } else {
            if (!keyring->remove(key))
                return fail();
            lock.lock();
            if (wasListed && inKeyring.count(key) == 0 && file->stringForKey(key).value_or("").empty())
                setListed(key, false);
        }
    }

    using Getter = std::optional<std::string> (SettingsStore::*)(const std::string&) const;

    std::optional<std::string> read(const std::string& key, Getter get) const {
        if (!isSecret(key))
            return ((*file).*get)(key);
        std::unique_lock lock{mutex};
        changed.wait(lock, [this] { return loaded; });
        if (file->objectForKey(key))
            return ((*file).*get)(key);
        if (const auto kept = inKeyring.find(key); kept != inKeyring.end())
            return kept->second;
        // In a keyring that cannot be read now: set, but unknown. Read as missing, it would be filled in empty.
        if (listed(key))
            return std::string{};
        return std::nullopt;
    }

    void fail() {
        const std::lock_guard lock{mutex};
        giveUp();
    }

    // What the keyring holds for the file, and what of it the store still has to change.
    void load() {
        const std::optional<std::map<std::string, std::string>> found = keyring ? keyring->readAll() : std::nullopt;
        apply(found);
        std::vector<std::function<void()>> callbacks;
        {
            const std::lock_guard lock{mutex};
            callbacks.swap(onLoaded);
        }
        for (const auto& callback : callbacks)
            callback();
    }

    void apply(const std::optional<std::map<std::string, std::string>>& found) {
        const std::lock_guard lock{mutex};
        loaded = true;
        changed.notify_all();
        if (!found)
            return giveUp(!parseKeys(file->objectForKey(keyringKeysKey)).empty());
        for (const std::string_view name : SettingsKeys::secretKeys) {
            const std::string key{name};
            const auto item = found->find(key);
            if (file->objectForKey(key))
                enqueue(key);
            else if (listed(key) && item != found->end())
                inKeyring.insert_or_assign(key, item->second);
            else if (listed(key))
                setListed(key, false); // removed from the keyring by someone else
            else if (item != found->end())
                enqueue(key); // left behind: the file says the credential is gone
        }
    }

    void run() {
        load();
        std::unique_lock lock{mutex};
        for (;;) {
            changed.wait(lock, [this] { return stopping || !queue.empty(); });
            if (queue.empty())
                return;
            const std::string key = queue.front();
            queue.pop_front();
            busy = true;
            lock.unlock();
            reconcile(key);
            lock.lock();
            busy = false;
            changed.notify_all();
        }
    }

    const std::shared_ptr<SettingsStore> file;
    const std::unique_ptr<Keyring> keyring;
    const Notice notice;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // The credentials the keyring holds and the file does not.
    std::map<std::string, std::string> inKeyring;
    // Keys whose keyring item may disagree with the store, oldest change first.
    std::deque<std::string> queue;
    // The keyring's items have been read, or could not be.
    bool loaded = false;
    // Waiting for `loaded`.
    std::vector<std::function<void()>> onLoaded;
    bool usable = true;
    bool busy = false;
    bool stopping = false;
    bool told = false;
};

// Apart from the state, so the thread can let go of the state before it says it is done.
struct KeyringSettingsStore::Ending {
    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
};

KeyringSettingsStore::KeyringSettingsStore(std::shared_ptr<SettingsStore> file, std::unique_ptr<Keyring> keyring,
                                           Notice notice, const TransportOptions::ThreadStarter& startThread)
    : m_state(std::make_shared<State>(std::move(file), std::move(keyring), std::move(notice)))
    , m_ending(std::make_shared<Ending>()) {
    const bool started = startThread([state = m_state, ending = m_ending]() mutable {
        state->run();
        // Whoever closed the store destroys the settings file, on its own thread, unless it stopped waiting.
        state.reset();
        const std::lock_guard lock{ending->mutex};
        ending->ended = true;
        ending->changed.notify_all();
    });
    if (!started) {
        m_ending->ended = true;
        const std::lock_guard lock{m_state->mutex};
        m_state->loaded = true;
        m_state->giveUp(!parseKeys(m_state->file->objectForKey(keyringKeysKey)).empty());
    }
}

KeyringSettingsStore::~KeyringSettingsStore() {
    close();
}

void KeyringSettingsStore::close() {
    {
        const std::lock_guard lock{m_state->mutex};
        m_state->stopping = true;
        m_state->changed.notify_all();
    }
    std::unique_lock lock{m_ending->mutex};
    m_ending->changed.wait_for(lock, closingWait, [this] { return m_ending->ended; });
}

std::optional<std::string> KeyringSettingsStore::objectForKey(const std::string& key) const {
    return m_state->read(key, &SettingsStore::objectForKey);
}

std::optional<std::string> KeyringSettingsStore::stringForKey(const std::string& key) const {
    return m_state->read(key, &SettingsStore::stringForKey);
}

void KeyringSettingsStore::setObjectForKey(const std::string& value, const std::string& key) {
    const std::lock_guard lock{m_state->mutex};
    m_state->file->setObjectForKey(value, key);
    if (isSecret(key)) {
        m_state->inKeyring.erase(key);
        m_state->enqueue(key);
    } else if (key == SettingsKeys::subDomain) {
        for (const auto& [secret, kept] : m_state->inKeyring)
            m_state->enqueue(secret);
    }
}

void KeyringSettingsStore::removeObjectForKey(const std::string& key) {
    const std::lock_guard lock{m_state->mutex};
    if (isSecret(key)) {
        m_state->inKeyring.erase(key);
        // Unlisted first: a process ending between the two writes must not find the keyring's item the one to read.
        m_state->setListed(key, false);
        m_state->enqueue(key);
    }
    m_state->file->removeObjectForKey(key);
}

void KeyringSettingsStore::whenLoaded(std::function<void()> loaded) {
    {
        const std::lock_guard lock{m_state->mutex};
        if (!m_state->loaded)
            return m_state->onLoaded.push_back(std::move(loaded));
    }
    loaded();
}

bool KeyringSettingsStore::waitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock{m_state->mutex};
    return m_state->changed.wait_for(lock, timeout,
                                     [this] { return m_state->loaded && m_state->queue.empty() && !m_state->busy; });
}

} // namespace stampo

#include "Keyring.h"
#include "KeyringSettingsStore.h"
#include "QSettingsStore.h"
#include "settings/SettingsKeys.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// These tests run under tests/support/keyring_session.py: KeyringStore, FailingKeyring and LockedKeyring with a
// real gnome-keyring-daemon on a private bus, NoKeyring with none; each suite in a process of its own. NoKeyring also
// stands in for a Secret Service that takes a secret and gives back something else.

namespace {

using namespace std::chrono_literals;
using stampo::KeyringSettingsStore;
using stampo::QSettingsStore;

struct Item {
    std::string label, secret;
    bool operator==(const Item&) const = default;
};

// What `COMMAND` prints on standard output and error, and whether it succeeded. Through popen, whose posix_spawn
// ThreadSanitizer does not mistake for a fork of the test process, as it does QProcess's.
std::pair<bool, std::string> shell(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {false, {}};
    std::string output;
    for (char buffer[4096]; const std::size_t read = std::fread(buffer, 1, sizeof buffer, pipe);)
        output.append(buffer, read);
    return {::pclose(pipe) == 0, output};
}

// The real keyring, whose first store waits until the test lets it go on.
class HeldKeyring final : public stampo::Keyring {
public:
    using Keyring::Keyring;
    bool store(const std::string& key, const std::string& label, const std::string& secret) const override {
        if (!m_held.exchange(true)) {
            storing.count_down();
            resume.wait();
        }
        return Keyring::store(key, label, secret);
    }
    mutable std::latch storing{1}, resume{1};

private:
    mutable std::atomic<bool> m_held = false;
};

class KeyringTest : public testing::Test {
protected:
    // The keyring's items of the settings file by key, as a separate process finds them: each a line "[its path]",
    // then lines "name = value", its attributes last.
    std::map<std::string, Item> items() const {
        const auto [ok, text] = shell("secret-tool search --all settings-file '" + path().toStdString() + "'");
        EXPECT_TRUE(ok || text.empty());
        std::map<std::string, Item> found;
        Item item;
        std::istringstream lines{text};
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("label = "))
                item.label = line.substr(8);
            else if (line.starts_with("secret = "))
                item.secret = line.substr(9);
            else if (line.starts_with("attribute.key = "))
                found.insert_or_assign(line.substr(16), item);
        }
        return found;
    }

    // A store on the settings file and `keyring`, by default the real one.
    std::unique_ptr<KeyringSettingsStore> open(std::unique_ptr<stampo::Keyring> keyring = nullptr) {
        if (!keyring)
            keyring = std::make_unique<stampo::Keyring>(path().toStdString());
        return std::make_unique<KeyringSettingsStore>(file(), std::move(keyring),
                                                      [this](const std::string& text) { notices.push_back(text); });
    }
    // The settings file as it is on disk now.
    std::shared_ptr<QSettingsStore> file() const { return std::make_shared<QSettingsStore>(path()); }
    QString path() const { return dir.filePath(QStringLiteral("Stampo.conf")); }

    const QTemporaryDir dir;
    std::vector<std::string> notices;
};

using KeyringStore = KeyringTest;
using FailingKeyring = KeyringTest;
using LockedKeyring = KeyringTest;
using NoKeyring = KeyringTest;

TEST_F(KeyringStore, CredentialsLeaveTheFileOnceTheKeyringHoldsThemAndChangesLeaveNoStaleItem) {
    {
        auto store = open();
        store->setObjectForKey("acme", "subDomain");
        store->setObjectForKey("42", "appID");
        // Every write is seen by the next read, whether or not the keyring has it yet.
        for (int round = 0; round < 10; ++round) {
            store->setObjectForKey("code" + std::to_string(round), "authCode");
            EXPECT_EQ(store->stringForKey("authCode"), "code" + std::to_string(round));
        }
        store->setObjectForKey("pass word", "proxyPassword");
        ASSERT_TRUE(store->waitIdle(20s));
        EXPECT_EQ(store->stringForKey("authCode"), "code9");
        EXPECT_EQ(store->objectForKey("proxyPassword"), "pass word");
    }
    EXPECT_EQ(items(),
              (std::map<std::string, Item>{{"authCode", {"Stampo: kintone 認証コード (acme)", "code9"}},
                                           {"proxyPassword", {"Stampo: プロキシのパスワード (acme)", "pass word"}}}));
    std::ifstream in{path().toStdString()};
    const std::string text{std::istreambuf_iterator<char>{in}, {}};
    EXPECT_EQ(text.find("code9"), std::string::npos) << text;
    EXPECT_EQ(text.find("pass word"), std::string::npos) << text;
    EXPECT_EQ(file()->stringForKey("appID"), "42");

    // The next start reads them back from the keyring, and seeding writes nothing over them.
    auto store = open();
    stampo::SettingsKeys::seed(*store);
    EXPECT_EQ(store->stringForKey("authCode"), "code9");
    EXPECT_EQ(store->stringForKey("proxyPassword"), "pass word");

    // Changed settings leave no stale item.
    store->setObjectForKey("other", "subDomain");
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(items().at("authCode"), (Item{"Stampo: kintone 認証コード (other)", "code9"}));
    store->setObjectForKey("", "authCode");
    store->removeObjectForKey("proxyPassword");
    EXPECT_EQ(store->stringForKey("authCode"), "");
    EXPECT_EQ(store->objectForKey("proxyPassword"), std::nullopt);
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_TRUE(items().empty());
    EXPECT_TRUE(notices.empty());
}

// At the start the file's credentials are the newer (an earlier version's file, or ones written while the keyring
// failed) and move into the keyring; an item the file no longer names (a removal the process did not live to finish)
// goes.
TEST_F(KeyringStore, AtTheStartTheFilesCredentialsMoveIntoTheKeyringAndItemsItNoLongerNamesGo) {
    {
        QSettingsStore old{path()};
        old.setObjectForKey("acme", "subDomain");
        old.setObjectForKey("b2xkOmNvZGU=", "authCode");
        old.setObjectForKey("authCode", KeyringSettingsStore::keyringKeysKey);
    }
    const stampo::Keyring keyring{path().toStdString()};
    ASSERT_TRUE(keyring.store("authCode", "older", "older code") && keyring.store("proxyPassword", "gone", "stale"));
    auto store = open();
    EXPECT_EQ(store->stringForKey("authCode"), "b2xkOmNvZGU=");
    EXPECT_EQ(store->objectForKey("proxyPassword"), std::nullopt);
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(items(),
              (std::map<std::string, Item>{{"authCode", {"Stampo: kintone 認証コード (acme)", "b2xkOmNvZGU="}}}));
    EXPECT_EQ(file()->objectForKey("authCode"), std::nullopt);
    EXPECT_EQ(store->stringForKey("authCode"), "b2xkOmNvZGU=");
    EXPECT_TRUE(notices.empty());
}

// A write that lands while the keyring is busy storing the value before it: the newer value must win, and stay.
TEST_F(KeyringStore, AWriteDuringTheKeyringsStoreOfTheOneBeforeWins) {
    auto held = std::make_unique<HeldKeyring>(path().toStdString());
    HeldKeyring& keyring = *held;
    const auto store = open(std::move(held));
    store->setObjectForKey("older", "authCode");
    keyring.storing.wait();
    store->setObjectForKey("newer", "authCode");
    keyring.resume.count_down();
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(store->stringForKey("authCode"), "newer");
    EXPECT_EQ(items().at("authCode").secret, "newer");
    EXPECT_EQ(file()->objectForKey("authCode"), std::nullopt);
}

// The keyring goes away: what was written since stays in the file, and the user is told once.
TEST_F(FailingKeyring, AFailedWriteLeavesTheFileAsItWas) {
    auto store = open();
    store->setObjectForKey("code", "authCode");
    ASSERT_TRUE(store->waitIdle(20s));
    ASSERT_EQ(file()->objectForKey("authCode"), std::nullopt);

    ASSERT_EQ(::kill(std::stoi(std::getenv("STAMPO_TEST_KEYRING_PID")), SIGKILL), 0);
    store->setObjectForKey("new code", "authCode");
    store->setObjectForKey("pw", "proxyPassword");
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(file()->stringForKey("authCode"), "new code");
    EXPECT_EQ(file()->stringForKey("proxyPassword"), "pw");
    EXPECT_EQ(store->stringForKey("authCode"), "new code");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices.front().find("設定ファイル"), std::string::npos);
    store.reset();

    // The next login's keyring still holds the older code; the file's newer one replaces it at the next start.
    ASSERT_TRUE(shell("restart-keyring").first);
    EXPECT_EQ(items().at("authCode").secret, "code");
}

// The user does not unlock the keyring: its credentials are unknown for this run, and nothing overwrites them.
TEST_F(LockedKeyring, ARefusedUnlockLosesNothing) {
    auto store = open();
    store->setObjectForKey("code", "authCode");
    ASSERT_TRUE(store->waitIdle(20s));
    ASSERT_EQ(file()->objectForKey("authCode"), std::nullopt);
    store.reset();
    ASSERT_TRUE(shell("dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets "
                      "org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login")
                    .first);

    store = open();
    ASSERT_TRUE(store->waitIdle(20s));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices.front().find("読み込めません"), std::string::npos);
    // Unknown, not missing: seeding the defaults must not store an empty code that would later replace the real one.
    EXPECT_EQ(store->stringForKey("authCode"), "");
    stampo::SettingsKeys::seed(*store);
    EXPECT_EQ(file()->objectForKey("authCode"), std::nullopt);
    store->setObjectForKey("pw", "proxyPassword");
    store.reset();
    EXPECT_EQ(file()->stringForKey("proxyPassword"), "pw");

    ASSERT_TRUE(shell("restart-keyring").first);
    EXPECT_EQ(items().at("authCode").secret, "code");
}

// Takes every secret and gives back `readBack` for it.
class UnfaithfulKeyring final : public stampo::Keyring {
public:
    explicit UnfaithfulKeyring(std::optional<std::string> readBack)
        : Keyring({})
        , m_readBack(std::move(readBack)) {}
    std::optional<std::map<std::string, std::string>> readAll() const override {
        return std::map<std::string, std::string>{};
    }
    bool store(const std::string&, const std::string&, const std::string&) const override { return true; }
    std::optional<std::string> read(const std::string&) const override { return m_readBack; }
    bool remove(const std::string&) const override { return true; }

private:
    std::optional<std::string> m_readBack;
};

// No Secret Service, or one that takes a secret and gives back nothing or something else: the file keeps the
// credentials, and the user is told once.
TEST_F(NoKeyring, TheFileKeepsTheCredentials) {
    const std::function<std::unique_ptr<stampo::Keyring>()> keyrings[] = {
        [] { return nullptr; }, // the real one, which finds no Secret Service
        [] { return std::make_unique<UnfaithfulKeyring>(std::nullopt); },
        [] { return std::make_unique<UnfaithfulKeyring>("other"); }};
    for (const auto& keyring : keyrings) {
        SCOPED_TRACE(&keyring - keyrings);
        notices.clear();
        auto store = open(keyring());
        store->setObjectForKey("code", "authCode");
        store->setObjectForKey("pw", "proxyPassword");
        ASSERT_TRUE(store->waitIdle(20s));
        EXPECT_EQ(store->stringForKey("authCode"), "code");
        EXPECT_EQ(file()->stringForKey("authCode"), "code");
        EXPECT_EQ(file()->stringForKey("proxyPassword"), "pw");
        EXPECT_EQ(file()->objectForKey(KeyringSettingsStore::keyringKeysKey), std::nullopt);
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_NE(notices.front().find("Secret Service"), std::string::npos);
        EXPECT_EQ(notices.front().find("読み込めません"), std::string::npos);
    }
}

// A thread that lingers after its work, as a detached one may, must not be left the settings file to destroy: its
// QSettings would be written back to disk on that thread while the owner goes on, or the process ends.
TEST_F(NoKeyring, TheSettingsFileIsLetGoOnTheThreadThatClosedTheStore) {
    std::thread::id destroyedOn;
    // Goes with the store's state, the settings file included.
    std::shared_ptr<void> mark{nullptr, [&destroyedOn](void*) { destroyedOn = std::this_thread::get_id(); }};
    std::thread lingering;
    std::promise<void> closed;
    auto store = std::make_unique<KeyringSettingsStore>(
        file(), std::make_unique<UnfaithfulKeyring>("code"), [mark = std::move(mark)](const std::string&) {},
        [&](std::function<void()> work) {
            lingering = std::thread{[work = std::move(work), closed = closed.get_future()]() mutable {
                work();
                closed.wait();
            }};
            return true;
        });
    store->setObjectForKey("code", "authCode");
    ASSERT_TRUE(store->waitIdle(20s));
    store.reset();
    EXPECT_EQ(destroyedOn, std::this_thread::get_id());
    closed.set_value();
    lingering.join();
}

} // namespace

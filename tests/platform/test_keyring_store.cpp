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
#include <functional>
#include <future>
#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

// These tests run under tests/support/keyring_session.py: KeyringStore and FailingKeyring with a real
// gnome-keyring-daemon on a private bus, NoKeyring with none; each suite in a process of its own. NoKeyring also stands
// in for a Secret Service that takes a secret and gives back something else.

namespace {

using namespace std::chrono_literals;
using stampo::KeyringSettingsStore;

// What the user is told when the credentials stay in the settings file.
const std::string inTheFile =
    "stampo: Secret Service を利用できないため、認証コードとプロキシのパスワードは設定ファイル (0600) に保存します";

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
        if (!held.exchange(true)) {
            storing.count_down();
            resume.wait();
        }
        return Keyring::store(key, label, secret);
    }
    mutable std::latch storing{1}, resume{1};
    mutable std::atomic<bool> held = false;
};

class KeyringTest : public testing::Test {
protected:
    // The keyring's items of the settings file by key, as a separate process finds them: each a line "[its path]",
    // then lines "name = value", its attributes last.
    std::map<std::string, Item> items() const {
        const auto [ok, text] = shell("secret-tool search --all settings-file '" + path().toStdString() + "'");
        EXPECT_TRUE(ok || text.empty());
        std::map<std::string, Item> found;
        const std::regex item{"label = (.*)\nsecret = (.*)\n(?:.*\n)*?attribute\\.key = (.*)"};
        for (std::sregex_iterator match{text.begin(), text.end(), item}, end; match != end; ++match)
            found.insert_or_assign((*match)[3], Item{(*match)[1], (*match)[2]});
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
    std::shared_ptr<stampo::QSettingsStore> file() const { return std::make_shared<stampo::QSettingsStore>(path()); }
    QString path() const { return dir.filePath(QStringLiteral("Stampo.conf")); }

    const QTemporaryDir dir;
    std::vector<std::string> notices;
};

using KeyringStore = KeyringTest;
using FailingKeyring = KeyringTest;
using NoKeyring = KeyringTest;

// Credentials leave the file once the keyring holds them, the newest of several writes winning; the next start reads
// them back; changed settings leave no stale item.
TEST_F(KeyringStore, CredentialsLeaveTheFileOnceTheKeyringHoldsThemAndChangesLeaveNoStaleItem) {
    {
        auto held = std::make_unique<HeldKeyring>(path().toStdString());
        HeldKeyring& keyring = *held;
        auto store = open(std::move(held));
        store->setObjectForKey("acme", "subDomain");
        store->setObjectForKey("42", "appID");
        store->setObjectForKey("code0", "authCode");
        // Writes that land while the keyring stores the code before them: each is seen by the next read, the newest
        // wins, and stays.
        keyring.storing.wait();
        for (int round = 1; round < 10; ++round) {
            store->setObjectForKey("code" + std::to_string(round), "authCode");
            EXPECT_EQ(store->stringForKey("authCode"), "code" + std::to_string(round));
        }
        store->setObjectForKey("pass word", "proxyPassword");
        keyring.resume.count_down();
        ASSERT_TRUE(store->waitIdle(20s));
        EXPECT_EQ(store->stringForKey("authCode"), "code9");
        EXPECT_EQ(store->objectForKey("proxyPassword"), "pass word");
    }
    EXPECT_EQ(items(),
              (std::map<std::string, Item>{{"authCode", {"Stampo: kintone 認証コード (acme)", "code9"}},
                                           {"proxyPassword", {"Stampo: プロキシのパスワード (acme)", "pass word"}}}));
    EXPECT_EQ(shell("cat '" + path().toStdString() + "'").second,
              "[General]\nappID=42\nkeyringKeys=authCode proxyPassword\nsubDomain=acme\n");

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
    store.reset();

    // At the start the file's credentials are the newer (an earlier version's file, or ones written while the keyring
    // failed) and move into the keyring; an item the file no longer names (a removal the process did not live to
    // finish) goes.
    const auto old = file();
    old->setObjectForKey("b2xkOmNvZGU=", "authCode");
    old->setObjectForKey("authCode", KeyringSettingsStore::keyringKeysKey);
    const stampo::Keyring keyring{path().toStdString()};
    ASSERT_TRUE(keyring.store("authCode", "older", "older code") && keyring.store("proxyPassword", "gone", "stale"));
    store = open();
    EXPECT_EQ(store->objectForKey("proxyPassword"), std::nullopt);
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(items(),
              (std::map<std::string, Item>{{"authCode", {"Stampo: kintone 認証コード (other)", "b2xkOmNvZGU="}}}));
    EXPECT_EQ(file()->objectForKey("authCode"), std::nullopt);
    EXPECT_EQ(store->stringForKey("authCode"), "b2xkOmNvZGU=");
    EXPECT_TRUE(notices.empty());
}

// The keyring goes away: what is written since stays in the file, and the user is told. Then the next login's keyring
// is not unlocked: its credentials are unknown for this run, and nothing overwrites them.
TEST_F(FailingKeyring, AFailedWriteOrARefusedUnlockLosesNothing) {
    auto store = open();
    store->setObjectForKey("code", "authCode");
    ASSERT_TRUE(store->waitIdle(20s));
    ASSERT_EQ(file()->objectForKey("authCode"), std::nullopt);

    ASSERT_EQ(::kill(std::stoi(std::getenv("STAMPO_TEST_KEYRING_PID")), SIGKILL), 0);
    store->setObjectForKey("pw", "proxyPassword");
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(file()->stringForKey("proxyPassword"), "pw");
    EXPECT_EQ(store->stringForKey("authCode"), "code");
    EXPECT_EQ(notices, std::vector{inTheFile});
    store.reset();

    ASSERT_TRUE(shell(std::getenv("STAMPO_TEST_RESTART_KEYRING")).first);
    ASSERT_TRUE(shell("dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets "
                      "org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login")
                    .first);
    notices.clear();
    store = open();
    ASSERT_TRUE(store->waitIdle(20s));
    EXPECT_EQ(notices, std::vector{inTheFile + "。キーリングに保存したものは読み込めません"});
    // Unknown, not missing: seeding the defaults must not store an empty code that would later replace the real one.
    EXPECT_EQ(store->stringForKey("authCode"), "");
    stampo::SettingsKeys::seed(*store);
    store->setObjectForKey("new pw", "proxyPassword");
    store.reset();
    EXPECT_EQ(file()->objectForKey("authCode"), std::nullopt);
    EXPECT_EQ(file()->stringForKey("proxyPassword"), "new pw");

    ASSERT_TRUE(shell(std::getenv("STAMPO_TEST_RESTART_KEYRING")).first);
    EXPECT_EQ(items(), (std::map<std::string, Item>{{"authCode", {"Stampo: kintone 認証コード", "code"}}}));
}

// Takes every secret and gives back `readBack` for it.
struct UnfaithfulKeyring final : stampo::Keyring {
    explicit UnfaithfulKeyring(std::optional<std::string> back)
        : Keyring({})
        , readBack(std::move(back)) {}
    std::optional<std::map<std::string, std::string>> readAll() const override {
        return std::map<std::string, std::string>{};
    }
    bool store(const std::string&, const std::string&, const std::string&) const override { return true; }
    std::optional<std::string> read(const std::string&) const override { return readBack; }
    const std::optional<std::string> readBack;
};

// No Secret Service, or one that takes a secret and gives back nothing or something else: the file keeps the
// credentials, and the user is told once. A thread that lingers after its work, as a detached one may, must not be left
// the settings file to destroy: its QSettings would be written back to disk on that thread while the owner goes on, or
// the process ends.
TEST_F(NoKeyring, TheFileKeepsTheCredentialsAndIsLetGoOnTheThreadThatClosedTheStore) {
    std::unique_ptr<stampo::Keyring> keyrings[] = {
        std::make_unique<stampo::Keyring>(path().toStdString()), // the real one, which finds no Secret Service
        std::make_unique<UnfaithfulKeyring>(std::nullopt), std::make_unique<UnfaithfulKeyring>("other")};
    for (auto& keyring : keyrings) {
        SCOPED_TRACE(&keyring - keyrings);
        notices.clear();
        std::thread::id destroyedOn;
        // Goes with the store's state, the settings file included.
        std::shared_ptr<void> mark{nullptr, [&destroyedOn](void*) { destroyedOn = std::this_thread::get_id(); }};
        std::thread lingering;
        std::promise<void> closed;
        auto store = std::make_unique<KeyringSettingsStore>(
            file(), std::move(keyring),
            [this, mark = std::move(mark)](const std::string& text) { notices.push_back(text); },
            [&](std::function<void()> work) {
                lingering = std::thread{[work = std::move(work), closed = closed.get_future()]() mutable {
                    work();
                    closed.wait();
                }};
                return true;
            });
        store->setObjectForKey("code", "authCode");
        store->setObjectForKey("pw", "proxyPassword");
        EXPECT_TRUE(store->waitIdle(20s));
        EXPECT_EQ(store->stringForKey("authCode"), "code");
        EXPECT_EQ(shell("cat '" + path().toStdString() + "'").second, "[General]\nauthCode=code\nproxyPassword=pw\n");
        EXPECT_EQ(notices, std::vector{inTheFile});
        store.reset();
        EXPECT_EQ(destroyedOn, std::this_thread::get_id());
        closed.set_value();
        lingering.join();
    }
}

} // namespace

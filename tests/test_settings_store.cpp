#include "app/QSettingsStore.h"
#include "app/SettingsKeys.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using stampo::QSettingsStore;

// Every test in a directory of its own, removed with everything in it.
class SettingsStore : public testing::Test {
protected:
    static QString qPath(const fs::path& path) { return QString::fromStdString(path.string()); }
    static void write(const fs::path& to, const std::string& bytes) { std::ofstream{to, std::ios::binary} << bytes; }
    static unsigned mode(const fs::path& path) { return unsigned(fs::status(path).permissions() & fs::perms::mask); }

    // What a separate process finds on disk under KEY (stampo-settings-read FILE KEY); nothing when it exits 1.
    static std::optional<std::string> onDisk(const fs::path& file, const std::string& key) {
        QProcess reader;
        reader.start(QStringLiteral(STAMPO_SETTINGS_READ), {qPath(file), QString::fromStdString(key)});
        const bool ran = reader.waitForFinished() && reader.exitStatus() == QProcess::NormalExit;
        EXPECT_TRUE(ran && reader.exitCode() <= 1) << key << ": " << reader.errorString().toStdString();
        return ran && reader.exitCode() == 0 ? std::optional{reader.readAllStandardOutput().toStdString()}
                                             : std::nullopt;
    }

    const QTemporaryDir dir;
    const fs::path tmp{dir.path().toStdString()}, file = tmp / "Stampo.conf";
};

TEST_F(SettingsStore, SeedFillsOnlyTheMissingConnectionAndProxyKeys) {
    namespace Keys = stampo::SettingsKeys;
    write(file, "[General]\nappID=123\nproxyUser=\n");
    QSettingsStore store{qPath(file)};
    Keys::seed(store);
    std::vector<std::string> seeded{Keys::connectionKeys.begin(), Keys::connectionKeys.end()};
    seeded.insert(seeded.end(), Keys::proxyKeys.begin(), Keys::proxyKeys.end());
    for (const std::string& key : seeded) {
        EXPECT_EQ(store.stringForKey(key), key == "appID" ? "123" : "") << key;
        EXPECT_EQ(onDisk(file, key), key == "appID" ? "123" : "") << key;
        EXPECT_EQ(store.objectForKey(Keys::typeKey(key)), std::nullopt) << key;
    }
    for (const auto key : Keys::workStateKeys)
        EXPECT_EQ(store.objectForKey(std::string{key}), std::nullopt) << key;
}

// The file the application uses: where it lives, private to the user, and holding every change when the call returns.
TEST_F(SettingsStore, DefaultFileIsPrivateInXdgConfigHomeAndTakesEveryChangeAtOnce) {
    const fs::path configHome = tmp / "config", file = configHome / "Stampo" / "Stampo.conf";
    setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    QSettingsStore store;
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(store.fileName(), qPath(file));

    store.setObjectForKey("2024-05-01T09:00:00Z", "keepOuttime");
    EXPECT_EQ(onDisk(file, "keepOuttime"), "2024-05-01T09:00:00Z");
    EXPECT_EQ(mode(file), 0600u) << "after the first write";
    EXPECT_EQ(mode(configHome), 0700u);
    EXPECT_EQ(mode(configHome / "Stampo"), 0700u);

    fs::permissions(file, fs::perms{0644});
    store.setObjectForKey("2024-05-01T18:00:00Z", "keepOuttime");
    EXPECT_EQ(onDisk(file, "keepOuttime"), "2024-05-01T18:00:00Z");
    EXPECT_EQ(mode(file), 0600u) << "after a write to a file made readable by all";
    EXPECT_EQ(store.objectForKey("KEEPOUTTIME"), std::nullopt) << "keys are case-sensitive";

    store.removeObjectForKey("keepOuttime");
    EXPECT_EQ(store.objectForKey("keepOuttime"), std::nullopt);
    EXPECT_EQ(onDisk(file, "keepOuttime"), std::nullopt);
}

TEST_F(SettingsStore, DamagedFileKeepsWhatCanBeReadAndTakesNewWrites) {
    // Each case: what it is; the file after "[General]\nappID=42\n"; what is still read under subDomain (null when
    // nothing is promised); whether Qt reports the damage, so that the original is kept as FILE.damaged.
    const std::tuple<std::string, std::string, const char*, bool> cases[] = {
        {"truncated mid-line", "subDomain=exam", "exam", false},
        {"garbage lines", "this is not a setting\n# a comment\nsubDomain=example\n", "example", true},
        {"binary bytes", "\x01\x02\xff\xfe\x80junk\n\0\0\0\nsubDomain=example\n"s, "example", true},
        {"stray section line", "[section\nsubDomain=example\n", nullptr, true},
        {"invalid UTF-8", "subDomain=\xff\xfe\xc3(\n", nullptr, false},
    };
    for (const auto& [what, rest, subDomain, setAside] : cases) {
        SCOPED_TRACE(what);
        const fs::path file = tmp / (what + ".conf"), damaged = tmp / (what + ".conf.damaged");
        write(file, "[General]\nappID=42\n" + rest);
        fs::permissions(file, fs::perms{0644});
        QSettingsStore store{qPath(file)};
        const std::optional<std::string> readSubDomain = store.stringForKey("subDomain");
        EXPECT_EQ(store.stringForKey("appID"), "42");
        EXPECT_TRUE(!subDomain || readSubDomain == subDomain) << readSubDomain.value_or("(nothing)");
        store.setObjectForKey("7", "keepRecordno");
        EXPECT_EQ(onDisk(file, "keepRecordno"), "7");
        EXPECT_EQ(onDisk(file, "appID"), "42");
        EXPECT_EQ(onDisk(file, "subDomain"), readSubDomain);
        EXPECT_EQ(mode(file), 0600u);

        ASSERT_EQ(fs::exists(damaged), setAside);
        if (setAside) {
            std::ifstream kept{damaged, std::ios::binary};
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>{kept}, {}), "[General]\nappID=42\n" + rest);
            EXPECT_EQ(mode(damaged), 0600u);
        }
    }
}

TEST_F(SettingsStore, AwkwardValuesRoundTripExactlyAndAHandEditedListIsNotAText) {
    std::vector<std::string> values;
    for (const std::vector<std::string>& row :
         {std::vector<std::string>{"", "pass word", " leading", "trailing ", "  ", "tab\there", "line one\nline two"},
          {"crlf\r\nend", "a,b", "a, b", "k=v", "semi;colon", "#hash", ";semicolon first", "[General]"},
          {"\"double quoted\"", "'single quoted'", "\"", "back\\slash\\", "\\n is not a newline", "@at start"},
          {"@Invalid()", "@ByteArray(x)", "日本語のパスワード　全角空白", "p@ss, w=rd; \"#1\" \\ "}})
        values.insert(values.end(), row.begin(), row.end());
    write(file, "[General]\nfieldUser=a,b\n");
    QSettingsStore store{qPath(file)};
    EXPECT_EQ(store.objectForKey("fieldUser"), "a, b");
    EXPECT_EQ(store.stringForKey("fieldUser"), std::nullopt);
    for (std::size_t i = 0; i < values.size(); ++i)
        store.setObjectForKey(values[i], "value" + std::to_string(i));
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(store.stringForKey("value" + std::to_string(i)), values[i]) << i;
        EXPECT_EQ(onDisk(file, "value" + std::to_string(i)), values[i]) << i;
    }
}

// The value of a write that could not reach the disk stays readable, and the next write that can puts it there:
// first for a file never written, where Qt's own copy of a failed change does not outlive its QSettings object, then
// for one that was.
TEST_F(SettingsStore, FailedWriteIsKeptAndWrittenLater) {
    const fs::path configHome = tmp / "config", away = tmp / "away", file = configHome / "Stampo.conf";
    write(configHome, "a file where the directory goes");
    QSettingsStore store{qPath(file)};
    store.setObjectForKey("1", "appID");
    store.setObjectForKey("2024-05-01T09:00:00Z", "keepOuttime");
    EXPECT_EQ(store.stringForKey("appID"), "1");
    EXPECT_EQ(onDisk(file, "appID"), std::nullopt) << "the write should have failed";
    fs::remove(configHome);
    store.setObjectForKey("someone", "keepUser");
    EXPECT_EQ(onDisk(file, "appID"), "1");

    fs::rename(configHome, away);
    write(configHome, "a file where the directory was");
    store.setObjectForKey("2024-05-01T18:00:00Z", "keepOuttime");
    EXPECT_EQ(store.stringForKey("keepOuttime"), "2024-05-01T18:00:00Z");
    EXPECT_EQ(onDisk(file, "keepOuttime"), std::nullopt) << "the write should have failed";
    fs::remove(configHome);
    fs::rename(away, configHome);
    store.setObjectForKey("7", "keepRecordno");
    EXPECT_EQ(onDisk(file, "keepOuttime"), "2024-05-01T18:00:00Z");
    EXPECT_EQ(onDisk(file, "keepUser"), "someone");
}

TEST_F(SettingsStore, ConcurrentWritesAndReadsKeepEveryValue) {
    constexpr int threadCount = 4, keyCount = 40;
    QSettingsStore store{qPath(file)};
    const auto key = [](int n) { return "key" + std::to_string(n); };
    const auto value = [](int n) { return "value " + std::to_string(n); };
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            for (int n = t; n < keyCount; n += threadCount) {
                store.setObjectForKey(value(n), key(n));
                EXPECT_EQ(store.stringForKey(key(n)), value(n));
                // The next thread's key: not written yet, or written whole.
                EXPECT_EQ(store.objectForKey(key(n + 1)).value_or(value(n + 1)), value(n + 1));
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (int n = 0; n < keyCount; ++n) {
        EXPECT_EQ(store.stringForKey(key(n)), value(n));
        EXPECT_EQ(onDisk(file, key(n)), value(n));
    }
}

} // namespace

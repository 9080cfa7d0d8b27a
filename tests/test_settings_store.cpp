#include "app/QSettingsStore.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using stampo::QSettingsStore;

// A directory of its own for one test, removed with everything in it.
class TempDir final {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "stampo-settings-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }

    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// Owns one file descriptor.
class Fd final {
public:
    explicit Fd(int fd)
        : m_fd(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

struct Reading {
    int exitCode = -1;
    std::string value;
};

// What a separate process finds on disk: stampo-settings-read FILE KEY, run to its end.
Reading readFromOtherProcess(const fs::path& file, const std::string& key) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return {};
    Fd readEnd{ends[0]};
    Fd writeEnd{ends[1]};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    std::string program = STAMPO_SETTINGS_READ;
    std::string fileArg = file.string();
    std::string keyArg = key;
    char* argv[] = {program.data(), fileArg.data(), keyArg.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (spawned != 0)
        return {};

    Reading reading;
    char buffer[4096];
    for (ssize_t n; (n = read(readEnd.get(), buffer, sizeof buffer)) > 0;)
        reading.value.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        reading.exitCode = WEXITSTATUS(status);
    return reading;
}

void expectOnDisk(const fs::path& file, const std::string& key, const std::string& value) {
    const Reading reading = readFromOtherProcess(file, key);
    EXPECT_EQ(reading.exitCode, 0) << key;
    EXPECT_EQ(reading.value, value) << key;
}

mode_t permissions(const fs::path& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream{path, std::ios::binary} << bytes;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>{in}, {}};
}

QString qPath(const fs::path& path) {
    return QString::fromStdString(path.string());
}

// The real store, with the keys written to it in order; seeding must not even rewrite a key that holds the empty text.
class RecordingStore final : public stampo::SettingsStore {
public:
    explicit RecordingStore(const fs::path& file)
        : m_store(qPath(file)) {}

    std::optional<std::string> objectForKey(const std::string& key) const override { return m_store.objectForKey(key); }
    std::optional<std::string> stringForKey(const std::string& key) const override { return m_store.stringForKey(key); }
    void setObjectForKey(const std::string& value, const std::string& key) override {
        m_written.push_back(key);
        m_store.setObjectForKey(value, key);
    }
    void removeObjectForKey(const std::string& key) override { m_store.removeObjectForKey(key); }

    const std::vector<std::string>& written() const { return m_written; }

private:
    QSettingsStore m_store;
    std::vector<std::string> m_written;
};

TEST(SettingsStore, SeedFillsOnlyTheMissingConnectionAndProxyKeys) {
    namespace Keys = stampo::SettingsKeys;
    const TempDir dir;
    const fs::path file = dir.path() / "Stampo.conf";
    writeFile(file, "[General]\nappID=123\nproxyUser=\n");
    RecordingStore store{file};

    Keys::seed(store);

    const std::vector<std::string> expectedWrites = {"subDomain", "topLevelDomain", "authCode",         "fieldIn",
                                                     "fieldOut",  "fieldUser",      "fieldUserDisplay", "proxyHost",
                                                     "proxyPort", "proxyPassword"};
    EXPECT_EQ(store.written(), expectedWrites);
    std::vector<std::string_view> seeded{Keys::connectionKeys.begin(), Keys::connectionKeys.end()};
    seeded.insert(seeded.end(), Keys::proxyKeys.begin(), Keys::proxyKeys.end());
    for (const std::string_view key : seeded) {
        const std::string expected = key == "appID" ? "123" : "";
        EXPECT_EQ(store.stringForKey(std::string{key}), expected) << key;
        expectOnDisk(file, std::string{key}, expected);
    }
    EXPECT_EQ(Keys::typeKey("fieldIn"), "fieldInType");
    for (const std::string_view key : Keys::connectionKeys)
        EXPECT_EQ(store.objectForKey(Keys::typeKey(key)), std::nullopt) << key;
    for (const std::string_view key : Keys::workStateKeys)
        EXPECT_EQ(store.objectForKey(std::string{key}), std::nullopt) << key;
}

TEST(SettingsStore, EveryChangeIsOnDiskWhenTheCallReturns) {
    const TempDir dir;
    const fs::path file = dir.path() / "Stampo.conf";
    QSettingsStore store{qPath(file)};

    store.setObjectForKey("2024-05-01T09:00:00Z", "keepOuttime");
    expectOnDisk(file, "keepOuttime", "2024-05-01T09:00:00Z");
    EXPECT_EQ(permissions(file), 0600u) << "after the first write";

    chmod(file.c_str(), 0644);
    store.setObjectForKey("2024-05-01T18:00:00Z", "keepOuttime");
    expectOnDisk(file, "keepOuttime", "2024-05-01T18:00:00Z");
    EXPECT_EQ(permissions(file), 0600u) << "after a write to a file made readable by all";

    store.removeObjectForKey("keepOuttime");
    EXPECT_EQ(store.objectForKey("keepOuttime"), std::nullopt);
    EXPECT_EQ(readFromOtherProcess(file, "keepOuttime").exitCode, 1);
    store.removeObjectForKey("neverStored");
    EXPECT_EQ(store.objectForKey("neverStored"), std::nullopt);
    EXPECT_EQ(store.objectForKey("KEEPOUTTIME"), std::nullopt) << "keys are case-sensitive";
}

TEST(SettingsStore, DefaultFileLivesInXdgConfigHome) {
    const TempDir dir;
    const fs::path configHome = dir.path() / "config";
    setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    QSettingsStore store;
    const fs::path file = configHome / "Stampo" / "Stampo.conf";
    EXPECT_EQ(store.fileName(), qPath(file));

    store.setObjectForKey("example", "subDomain");
    expectOnDisk(file, "subDomain", "example");
    EXPECT_EQ(permissions(file), 0600u);
    EXPECT_EQ(permissions(configHome), 0700u);
    EXPECT_EQ(permissions(configHome / "Stampo"), 0700u);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(SettingsStore, DamagedFileKeepsWhatCanBeReadAndTakesNewWrites) {
    struct Case {
        const char* what;
        std::string content;
        std::vector<std::pair<std::string, std::string>> readable;
        bool setAside; // whether Qt reports the damage, so the original is kept as Stampo.conf.damaged
    };
    const std::vector<Case> cases = {
        {"truncated mid-line", "[General]\nappID=42\nsubDomain=exam", {{"appID", "42"}, {"subDomain", "exam"}}, false},
        {"garbage lines",
         "[General]\nappID=42\nthis is not a setting\n# a comment\nsubDomain=example\n",
         {{"appID", "42"}, {"subDomain", "example"}},
         true},
        {"binary bytes",
         "[General]\nappID=42\n\x01\x02\xff\xfe\x80junk\n\0\0\0\nsubDomain=example\n"s,
         {{"appID", "42"}, {"subDomain", "example"}},
         true},
        {"stray section line", "[General]\nappID=42\n[section\nsubDomain=example\n", {{"appID", "42"}}, true},
        {"invalid UTF-8", "[General]\nappID=42\nsubDomain=\xff\xfe\xc3(\n", {{"appID", "42"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TempDir dir;
        const fs::path file = dir.path() / "Stampo.conf";
        const fs::path damaged = dir.path() / "Stampo.conf.damaged";
        writeFile(file, c.content);
        chmod(file.c_str(), 0644);

        QSettingsStore store{qPath(file)};
        for (const auto& [key, value] : c.readable)
            EXPECT_EQ(store.stringForKey(key), value) << key;

        store.setObjectForKey("2024-05-01T18:00:00Z", "keepOuttime");
        expectOnDisk(file, "keepOuttime", "2024-05-01T18:00:00Z");
        store.setObjectForKey("7", "keepRecordno");
        expectOnDisk(file, "keepRecordno", "7");
        for (const auto& [key, value] : c.readable)
            expectOnDisk(file, key, value);
        EXPECT_EQ(permissions(file), 0600u);

        ASSERT_EQ(fs::exists(damaged), c.setAside);
        if (c.setAside) {
            EXPECT_EQ(fileBytes(damaged), c.content);
            EXPECT_EQ(permissions(damaged), 0600u);
        }
    }
}

TEST(SettingsStore, AwkwardValuesRoundTripExactly) {
    const std::vector<std::string> values = {
        "",
        "pass word",
        " leading",
        "trailing ",
        "  ",
        "a,b",
        "a, b",
        "k=v",
        "semi;colon",
        "#hash",
        ";semicolon first",
        "\"double quoted\"",
        "'single quoted'",
        "\"",
        "back\\slash\\",
        "\\n is not a newline",
        "line one\nline two",
        "crlf\r\nend",
        "tab\there",
        "[General]",
        "@at start",
        "@Invalid()",
        "@ByteArray(x)",
        "日本語のパスワード　全角空白",
        "p@ss, w=rd; \"#1\" \\ ",
    };
    const TempDir dir;
    const fs::path file = dir.path() / "Stampo.conf";
    QSettingsStore store{qPath(file)};
    for (std::size_t i = 0; i < values.size(); ++i)
        store.setObjectForKey(values[i], "value" + std::to_string(i));

    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string key = "value" + std::to_string(i);
        EXPECT_EQ(store.stringForKey(key), values[i]) << key;
        expectOnDisk(file, key, values[i]);
    }
}

TEST(SettingsStore, HandEditedListIsNotAText) {
    const TempDir dir;
    const fs::path file = dir.path() / "Stampo.conf";
    writeFile(file, "[General]\nfieldUser=a,b\nappID=1\n");
    const QSettingsStore store{qPath(file)};

    EXPECT_EQ(store.objectForKey("fieldUser"), "a, b");
    EXPECT_EQ(store.stringForKey("fieldUser"), std::nullopt);
    EXPECT_EQ(store.stringForKey("appID"), "1");
}

// The value of a write that could not reach the disk stays readable, and the next write that can puts it there.
TEST(SettingsStore, FailedWriteIsKeptAndWrittenLater) {
    const TempDir dir;
    const fs::path home = dir.path() / "config";
    const fs::path away = dir.path() / "away";
    const fs::path file = home / "Stampo.conf";
    QSettingsStore store{qPath(file)};
    store.setObjectForKey("1", "appID");

    fs::rename(home, away);
    writeFile(home, "a file where the directory was");
    store.setObjectForKey("2024-05-01T18:00:00Z", "keepOuttime");
    EXPECT_EQ(store.stringForKey("keepOuttime"), "2024-05-01T18:00:00Z");
    EXPECT_NE(readFromOtherProcess(file, "keepOuttime").exitCode, 0) << "the write should have failed";

    fs::remove(home);
    fs::rename(away, home);
    store.setObjectForKey("someone", "keepUser");
    expectOnDisk(file, "keepOuttime", "2024-05-01T18:00:00Z");
    expectOnDisk(file, "keepUser", "someone");
    expectOnDisk(file, "appID", "1");
}

TEST(SettingsStore, ConcurrentWritesAndReadsKeepEveryValue) {
    constexpr int threadCount = 4;
    constexpr int keysPerThread = 10;
    const TempDir dir;
    const fs::path file = dir.path() / "Stampo.conf";
    QSettingsStore store{qPath(file)};
    const auto keyOf = [](int thread, int i) { return "t" + std::to_string(thread) + "k" + std::to_string(i); };

    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&store, &keyOf, t] {
            for (int i = 0; i < keysPerThread; ++i) {
                const std::string key = keyOf(t, i);
                store.setObjectForKey("value of " + key, key);
                EXPECT_EQ(store.stringForKey(key), "value of " + key);
                // Another thread's key: not written yet, or written whole.
                const std::string other = keyOf((t + 1) % threadCount, i);
                const std::optional<std::string> seen = store.objectForKey(other);
                EXPECT_TRUE(!seen || *seen == "value of " + other) << other << " = " << seen.value_or("(none)");
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (int t = 0; t < threadCount; ++t) {
        for (int i = 0; i < keysPerThread; ++i) {
            const std::string key = keyOf(t, i);
            EXPECT_EQ(store.stringForKey(key), "value of " + key);
            expectOnDisk(file, key, "value of " + key);
        }
    }
}

} // namespace

#include "QSettingsStore.h"
#include "attendance/PendingWorkEnds.h"
#include "settings/SettingsKeys.h"

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
        EXPECT_TRUE(ran && reader.exitCode() <= 1) << key;
        return ran && reader.exitCode() == 0 ? std::optional{reader.readAllStandardOutput().toStdString()}
                                             : std::nullopt;
    }

    const QTemporaryDir dir;
    const fs::path tmp{dir.path().toStdString()}, file = tmp / "Stampo.conf";
};

// Neither the types of the fields nor the work state: an empty pending work end would be taken for a real one.
TEST_F(SettingsStore, SeedFillsOnlyTheMissingConnectionAndProxyKeys) {
    write(file, "[General]\nappID=123\nproxyUser=\n");
    QSettingsStore store{qPath(file)};
    stampo::SettingsKeys::seed(store);
    for (const char* key : {"subDomain", "topLevelDomain", "authCode", "fieldIn", "fieldOut", "fieldUser",
                            "fieldUserDisplay", "proxyHost", "proxyPort", "proxyUser", "proxyPassword"})
        EXPECT_EQ(store.stringForKey(key), "") << key;
    EXPECT_EQ(store.stringForKey("appID"), "123");
    for (const char* key : {"fieldInType", "fieldOutType", "fieldUserType", "keepOuttime", "keepRecordno", "keepUser"})
        EXPECT_EQ(store.objectForKey(key), std::nullopt) << key;
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

    store.removeObjectForKey("keepOuttime");
    EXPECT_EQ(onDisk(file, "keepOuttime"), std::nullopt);
}

TEST_F(SettingsStore, DamagedFileKeepsWhatCanBeReadAndTakesNewWrites) {
    // Each case: the file after "[General]\nappID=42\nfieldUser=a,b\n"; whether Qt reports the damage, so that the
    // original is kept as FILE.damaged. Either way subDomain is still read, and the list written by hand is no text.
    for (const auto& [rest, setAside] :
         {std::pair{"subDomain=exam"s, false},
          {"this is not a setting\n\x01\xff\xfe\x80junk\n\0\0\nsubDomain=exam\n"s, true}}) {
        SCOPED_TRACE(setAside ? "damage Qt reports" : "damage Qt overlooks");
        const fs::path file = tmp / (std::to_string(setAside) + ".conf"), damaged = fs::path(file) += ".damaged";
        const std::string before = "[General]\nappID=42\nfieldUser=a,b\n" + rest;
        write(file, before);
        fs::permissions(file, fs::perms{0644});
        QSettingsStore store{qPath(file)};
        EXPECT_EQ(store.stringForKey("appID"), "42");
        EXPECT_EQ(store.stringForKey("subDomain"), "exam");
        EXPECT_EQ(store.objectForKey("fieldUser"), "a, b");
        EXPECT_EQ(store.stringForKey("fieldUser"), std::nullopt);
        store.setObjectForKey("7", "keepRecordno");
        EXPECT_EQ(onDisk(file, "keepRecordno"), "7");
        EXPECT_EQ(onDisk(file, "appID"), "42");
        EXPECT_EQ(onDisk(file, "subDomain"), "exam");
        EXPECT_EQ(mode(file), 0600u);

        ASSERT_EQ(fs::exists(damaged), setAside);
        if (setAside) {
            std::ifstream kept{damaged, std::ios::binary};
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>{kept}, {}), before);
            EXPECT_EQ(mode(damaged), 0600u);
        }
    }
}

// One value for each way the INI file escapes or quotes, written and read by several threads at once.
TEST_F(SettingsStore, AwkwardValuesWrittenConcurrentlyRoundTripExactly) {
    std::vector<std::string> values;
    for (const std::vector<std::string>& row :
         {std::vector<std::string>{"", " leading", "trailing ", "tab\there", "line one\nline two", "crlf\r\nend",
                                   "a, b"},
          {"k=v", "semi;colon", "\"", "back\\slash\\", "\\n is not a newline", "@Invalid()", "@ByteArray(x)"},
          {"日本語のパスワード　全角空白", "p@ss, w=rd; \"#1\" \\ "}})
        values.insert(values.end(), row.begin(), row.end());
    QSettingsStore store{qPath(file)};
    const auto key = [](std::size_t i) { return "value" + std::to_string(i); };
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < values.size(); i += 4) {
                store.setObjectForKey(values[i], key(i));
                EXPECT_EQ(store.stringForKey(key(i)), values[i]) << i;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(onDisk(file, key(i)), values[i]) << i;
}

// The value of a write that could not reach the disk stays readable, and the next write that can puts it there; Qt's
// own copy of a failed change does not outlive its QSettings object.
TEST_F(SettingsStore, FailedWriteIsKeptAndWrittenLater) {
    const fs::path configHome = tmp / "config", file = configHome / "Stampo.conf";
    write(configHome, "a file where the directory goes");
    QSettingsStore store{qPath(file)};
    store.setObjectForKey("1", "appID");
    EXPECT_EQ(store.stringForKey("appID"), "1");
    EXPECT_EQ(onDisk(file, "appID"), std::nullopt) << "the write should have failed";
    fs::remove(configHome);
    store.setObjectForKey("someone", "keepUser");
    EXPECT_EQ(onDisk(file, "appID"), "1");
    EXPECT_EQ(onDisk(file, "keepUser"), "someone");
}

} // namespace

// The kept work ends as a person reads them in the file, and as they were before: a text anyone may have edited is
// read entry by entry, and what is written reads back the same.
TEST(PendingWorkEnds, ReadAsWrittenOrEditedAndAsEarlierVersionsLeftThem) {
    using Ends = std::vector<stampo::PendingWorkEnd>;
    const std::pair<std::string, Ends> texts[] = {
        {"", {}},
        {"12 2024-05-01T09:00:00Z, 15 2024-05-02T09:00:00Z",
         {{"12", "2024-05-01T09:00:00Z"}, {"15", "2024-05-02T09:00:00Z"}}},
        {" 12   2024-05-01T09:00:00Z ,, 15", {{"12", "2024-05-01T09:00:00Z"}, {"15", std::nullopt}}},
        // Edited by hand into something else: kept as it stands.
        {"12 yesterday, x7 2024-05-01T09:00:00Z,13 2024-05-01T09:00:00Z 14, 15 2024-05-01T09:00:00Z",
         {{"", std::nullopt, "12 yesterday"},
          {"", std::nullopt, "x7 2024-05-01T09:00:00Z"},
          {"", std::nullopt, "13 2024-05-01T09:00:00Z 14"},
          {"15", "2024-05-01T09:00:00Z"}}},
    };
    for (const auto& [text, ends] : texts) {
        EXPECT_EQ(stampo::PendingWorkEnds::parse(text), ends) << text;
        EXPECT_EQ(stampo::PendingWorkEnds::parse(stampo::PendingWorkEnds::format(ends)), ends) << text;
    }

    QTemporaryDir dir;
    stampo::QSettingsStore store(dir.filePath("Stampo.conf"));
    store.setObjectForKey("7", "keepRecordno");
    EXPECT_EQ(stampo::PendingWorkEnds::read(store), (Ends{{"7", std::nullopt}})) << "an earlier version's pair";
    store.setObjectForKey("2024-04-30T09:00:00Z", "keepOuttime");
    EXPECT_EQ(stampo::PendingWorkEnds::read(store), (Ends{{"7", "2024-04-30T09:00:00Z"}}));
    stampo::PendingWorkEnds::write(store, {});
    EXPECT_EQ(stampo::PendingWorkEnds::read(store), Ends{}) << "the list decides once written";
    EXPECT_EQ(store.objectForKey("keepRecordno"), std::nullopt);
}

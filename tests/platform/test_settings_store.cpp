#include "QSettingsStore.h"
#include "attendance/PendingWorkEnds.h"
#include "settings/SettingsKeys.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using stampo::QSettingsStore;
using Values = std::map<std::string, std::string>;

// Every test in a directory of its own, removed with everything in it.
class SettingsStore : public testing::Test {
protected:
    static QString qPath(const fs::path& path) { return QString::fromStdString(path.string()); }
    static void write(const fs::path& to, const std::string& bytes) { std::ofstream{to, std::ios::binary} << bytes; }
    static unsigned mode(const fs::path& path) { return unsigned(fs::status(path).permissions() & fs::perms::mask); }

    // Every key a separate process finds on disk in FILE, and its value (stampo-settings-read FILE).
    static Values onDisk(const fs::path& file) {
        QProcess reader;
        reader.start(QStringLiteral(STAMPO_SETTINGS_READ), {qPath(file)});
        EXPECT_TRUE(reader.waitForFinished() && reader.exitStatus() == QProcess::NormalExit && reader.exitCode() == 0);
        const QList<QByteArray> fields = reader.readAllStandardOutput().split('\0');
        Values found;
        for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
            found.emplace(fields[i].toStdString(), fields[i + 1].toStdString());
        return found;
    }

    const QTemporaryDir dir;
    const fs::path tmp{dir.path().toStdString()}, file = tmp / "Stampo.conf";
};

// Neither the types of the fields nor the work state: an empty pending work end would be taken for a real one.
TEST_F(SettingsStore, SeedFillsOnlyTheMissingConnectionAndProxyKeys) {
    write(file, "[General]\nappID=123\nproxyUser=\n");
    QSettingsStore store{qPath(file)};
    stampo::SettingsKeys::seed(store);
    Values seeded{{"appID", "123"}};
    for (const char* key : {"subDomain", "topLevelDomain", "authCode", "fieldIn", "fieldOut", "fieldUser",
                            "fieldUserDisplay", "proxyHost", "proxyPort", "proxyUser", "proxyPassword"})
        seeded[key] = "";
    EXPECT_EQ(onDisk(file), seeded);
}

// The file the application uses: where it lives, private to the user, and holding every change when the call returns.
// The value of a write that could not reach the disk stays readable, and the next write that can puts it there; Qt's
// own copy of a failed change does not outlive its QSettings object.
TEST_F(SettingsStore, DefaultFileIsPrivateInXdgConfigHomeAndTakesEveryChangeAtOnceOrOnceItCan) {
    const fs::path configHome = tmp / "config", file = configHome / "Stampo" / "Stampo.conf";
    setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    QSettingsStore store;
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(store.fileName(), qPath(file));

    store.setObjectForKey("2024-05-01T09:00:00Z", "keepOuttime");
    EXPECT_EQ(onDisk(file), (Values{{"keepOuttime", "2024-05-01T09:00:00Z"}}));
    EXPECT_EQ(mode(file), 0600u) << "after the first write";
    EXPECT_EQ(mode(configHome), 0700u);
    EXPECT_EQ(mode(configHome / "Stampo"), 0700u);

    fs::permissions(file, fs::perms{0644});
    store.setObjectForKey("2024-05-01T18:00:00Z", "keepOuttime");
    EXPECT_EQ(onDisk(file), (Values{{"keepOuttime", "2024-05-01T18:00:00Z"}}));
    EXPECT_EQ(mode(file), 0600u) << "after a write to a file made readable by all";

    fs::remove_all(configHome / "Stampo");
    write(configHome / "Stampo", "a file where the directory goes");
    store.setObjectForKey("1", "appID");
    EXPECT_EQ(store.stringForKey("appID"), "1");
    EXPECT_EQ(onDisk(file), Values{}) << "the write should have failed";
    fs::remove(configHome / "Stampo");
    store.removeObjectForKey("keepOuttime");
    EXPECT_EQ(onDisk(file), (Values{{"appID", "1"}}));
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
        EXPECT_EQ(onDisk(file),
                  (Values{{"appID", "42"}, {"fieldUser", "a, b"}, {"keepRecordno", "7"}, {"subDomain", "exam"}}));
        EXPECT_EQ(mode(file), 0600u);

        ASSERT_EQ(fs::exists(damaged), setAside);
        if (setAside) {
            std::ifstream kept{damaged, std::ios::binary};
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>{kept}, {}), before);
            EXPECT_EQ(mode(damaged), 0600u);
        }
    }
}

// One value for each way the INI file escapes or quotes, under its place in the list, written and read by several
// threads at once.
TEST_F(SettingsStore, AwkwardValuesWrittenConcurrentlyRoundTripExactly) {
    std::vector<std::string> values;
    for (const std::vector<std::string>& row :
         {std::vector<std::string>{"", " leading", "trailing ", "tab\there", "line one\nline two", "crlf\r\nend",
                                   "a, b"},
          {"k=v", "semi;colon", "\"", "back\\slash\\", "\\n is not a newline", "@Invalid()", "@ByteArray(x)"},
          {"日本語のパスワード　全角空白", "p@ss, w=rd; \"#1\" \\ "}})
        values.insert(values.end(), row.begin(), row.end());
    QSettingsStore store{qPath(file)};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < values.size(); i += 4) {
                store.setObjectForKey(values[i], std::to_string(i));
                EXPECT_EQ(store.stringForKey(std::to_string(i)), values[i]) << i;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    Values written;
    for (std::size_t i = 0; i < values.size(); ++i)
        written.emplace(std::to_string(i), values[i]);
    EXPECT_EQ(onDisk(file), written);
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
    stampo::PendingWorkEnds::write(store, {});
    EXPECT_EQ(stampo::PendingWorkEnds::read(store), Ends{}) << "the list decides once written";
}

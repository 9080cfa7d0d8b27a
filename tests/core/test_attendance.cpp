#include "ZUMFunc.h"
#include "attendance/PendingWorkEnds.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/LoopbackProxy.h"

#include <QTemporaryDir>

#include <algorithm>
#include <fstream>
#include <thread>

using namespace stampo;
using namespace stampo::test;

namespace {

using Texts = std::vector<std::string>;
using Ends = std::vector<PendingWorkEnd>;
constexpr long long startAt = 1714523400; // 2024-05-01T00:30:00Z
constexpr const char* sent = "送信完了";

class AttendanceTest : public KintoneTest {
protected:
    AttendanceTest() { configure(*store, authCode); }

    std::shared_ptr<Attendance> make(Kintone kintone, std::shared_ptr<const Reachability> network = nullptr) {
        return std::make_shared<Attendance>(store, std::move(kintone), network ? network : reachability, mainQueue,
                                            alert, clock);
    }

    // Chooses the employee and waits until the work start has shown its alert.
    void start(const std::shared_ptr<Attendance>& day, const std::string& employee = "sato", bool settleFirst = true) {
        // An earlier work end returns before its worker queues "送信完了": count only once that has been shown.
        ASSERT_TRUE(!settleFirst || (workers.waitIdle(deadline) && mainQueue->drain()));
        const std::size_t before = alert->messages().size();
        day->didStampoAttend(Attendance::UserInfo{{"keepUser", employee}});
        ASSERT_TRUE(alert->waitForCount(before + 1));
    }

    // A work end of the open working day while the network is away.
    void endOffline(Attendance& day, bool interactive) {
        reachability->reachable = false;
        day.endWork(interactive);
        reachability->reachable = true;
    }

    std::optional<std::string> pending(const char* key = "keepRecordno") const { return store->stringForKey(key); }
    std::string nowText() const { return ZUMFunc::datetime(clock()); }
    Json lastBody(const char* method) const {
        const auto requests = sim.requests(method, recordPath);
        return requests.empty() ? Json() : Json::parse(requests.back().body);
    }
    // The work ends sent, as "RECORD END".
    Texts updates() const {
        Texts ends;
        for (const auto& update : sim.requests("PUT", recordPath)) {
            const Json body = Json::parse(update.body);
            ends.push_back(body["id"].get<std::string>() + " " + body["record"]["end"]["value"].get<std::string>());
        }
        return ends;
    }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<SwitchedReachability> reachability = std::make_shared<SwitchedReachability>();
    std::atomic<long long> now{startAt};
    const Attendance::Clock clock = [this] { return std::chrono::sys_seconds(std::chrono::seconds(now)); };
    std::shared_ptr<Attendance> attendance = make(client);
};

} // namespace

// A work start sends its time and the employee as the stored field type holds them, a work end the end time of that
// record. Offline, a work end is kept without a word, and a later one of the same day replaces its time; a work start
// stores the employee and sends nothing. A kept end an earlier version left without its record is dropped unsent.
TEST_F(AttendanceTest, WorkStartAndEndSendTheirFieldsAndWhatCannotBeSentIsKept) {
    store->setObjectForKey("", "keepRecordno");
    store->setObjectForKey("2024-04-30T09:00:00Z", "keepOuttime");
    const std::tuple<const char*, const char*, const char*, const char*> employees[] = {
        {"employeeNo", "NUMBER", "1001", R"({"value":"1001"})"},
        {"employee", "USER_SELECT", "sato", R"({"value":[{"code":"sato"}]})"}};
    for (const auto& [field, type, employee, value] : employees) {
        store->setObjectForKey(field, "fieldUser");
        store->setObjectForKey(type, "fieldUserType");
        start(attendance, employee);
        EXPECT_EQ(lastBody("POST"),
                  (Json{{"app", "1"},
                        {"record", {{"start", {{"value", "2024-05-01T00:30:00Z"}}}, {field, Json::parse(value)}}}}));
    }
    endOffline(*attendance, false);
    now = startAt + 32400;
    const std::string record = attendance->recordno();
    attendance->endWork(true);
    EXPECT_EQ(lastBody("PUT"),
              (Json{{"app", "1"}, {"id", record}, {"record", {{"end", {{"value", "2024-05-01T09:30:00Z"}}}}}}));
    EXPECT_EQ(pending(), std::nullopt);

    reachability->reachable = false;
    start(attendance, "suzuki");
    EXPECT_EQ(store->stringForKey("keepUser"), "suzuki");
    EXPECT_EQ(sim.requests().size(), 3u) << "two work starts, one work end";
    EXPECT_EQ(alert->messages(), (Texts{sent, sent, sent, "ネットワークに接続していません"}));
}

// An automatic work end is dropped only when kintone itself refused it: its error object with a 4xx status. Whatever
// else becomes of it (no answer, "not now", an answer that is not kintone's, not sent) keeps it for the next work
// start. One the user asked for is never kept: the alert tells them. Sent once, never retried, and the working day
// stays open. The client's alert is the only one; the main thread, where it is queued, may send it.
TEST_F(AttendanceTest, AFailedAutomaticWorkEndIsDroppedOnlyWhenKintoneRefusedIt) {
    std::atomic<bool> threads = true;
    auto options = transportOptions();
    options.startThread = [&threads, start = options.startThread](auto work) { return threads && start(work); };
    const auto day = make(Kintone(mainQueue, alert, options));
    const std::string kintoneError = R"({"code":"GAIA_RE01","id":"x","message":"レコードが見つかりません。"})";
    const struct {
        const char* name;
        std::optional<Fault> fault; // none: no thread can be started
        bool keptIfAutomatic;
    } cases[] = {
        {"connection cut", fault(Fault::Kind::Cut), true},
        {"kintone refuses (404)", answer(404, kintoneError), false},
        {"kintone under maintenance (503)", answer(503, kintoneError), true},
        {"a gateway's 404 without kintone's code", answer(404, R"({"message":"Not Found"})"), true},
        {"no thread", std::nullopt, true},
    };
    for (const auto& c : cases)
        for (const bool interactive : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (interactive ? ", interactive" : ", automatic"));
            start(day);
            const auto alerts = alert->messages().size(), puts = sim.requests("PUT", recordPath).size();
            if (c.fault)
                sim.addFault(on("PUT", recordPath, *c.fault));
            threads = c.fault.has_value();
            mainQueue->async([&] { day->endWork(interactive); });
            ASSERT_TRUE(mainQueue->drain()) << "endWork deadlocked on the main thread";
            sim.clearFaults();
            threads = true;

            EXPECT_EQ(pending().has_value(), c.keptIfAutomatic && !interactive);
            EXPECT_FALSE(day->recordno().empty());
            EXPECT_EQ(sim.requests("PUT", recordPath).size() - puts, std::size_t(c.fault.has_value()));
            ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
            EXPECT_EQ(alert->messages().size(), alerts + 1);
            PendingWorkEnds::write(*store, {});
        }
}

// No work end kintone never took is lost, however many outages follow one another: each work start sends every kept
// one, oldest first, once each, without a word. A file of an earlier version holds one pair, read as the one entry;
// the pair this version keeps beside the list is its oldest, what an earlier version would send.
TEST_F(AttendanceTest, EveryUnansweredWorkEndIsKeptAndSentOldestFirst) {
    Texts ends; // "RECORD END" of each day
    // A day starts (sending what is kept), and ends by itself, offline.
    const auto dayOffline = [&](bool interactive) {
        sim.clearRequests();
        start(attendance);
        ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
        now += 3600;
        ends.push_back(attendance->recordno() + " " + nowText());
        endOffline(*attendance, interactive);
    };
    const auto pair = [&] { return pending().value_or("-") + " " + pending("keepOuttime").value_or("-"); };

    dayOffline(false);
    // What an earlier version left: the pair alone.
    store->removeObjectForKey("keepWorkEnds");
    ASSERT_EQ(pair(), ends[0]);

    sim.addFault(on("PUT", recordPath, fault(Fault::Kind::Cut)));
    dayOffline(true);
    EXPECT_EQ(updates(), Texts{ends[0]});
    EXPECT_EQ(pending("keepWorkEnds"), ends[0] + ", " + ends[1]) << "the older one was overwritten";
    EXPECT_EQ(pair(), ends[0]);

    sim.clearFaults();
    sim.addFault({"PUT", recordPath, "", 0, 1, fault(Fault::Kind::Cut)}); // the first only
    dayOffline(false);
    EXPECT_EQ(updates(), (Texts{ends[0], ends[1]}));
    EXPECT_EQ(pending("keepWorkEnds"), ends[0] + ", " + ends[2]);

    sim.clearFaults();
    dayOffline(false);
    EXPECT_EQ(updates(), (Texts{ends[0], ends[2]}));
    EXPECT_EQ(pending("keepWorkEnds"), ends[3]);
    EXPECT_EQ(pair(), ends[3]);
    const char* const cut = "サーバーとの通信が途中で切断されました (52)"; // the client's, not the work start's
    EXPECT_EQ(alert->messages(), (Texts{sent, sent, cut, sent, cut, sent}));
}

// A work end answered late closes only its own working day, and takes away only its own kept end: the user may have
// ended the day again meanwhile, or started the next.
TEST_F(AttendanceTest, ALateAnswerLeavesANewerEndAndANewerDayAlone) {
    for (const bool nextDay : {true, false}) {
        SCOPED_TRACE(nextDay ? "the next day starts" : "the day is ended again offline");
        start(attendance);
        const std::string day = attendance->recordno();
        sim.clearRequests();
        sim.addFault({"PUT", recordPath, "", 0, 1, {.kind = Fault::Kind::Delay, .delay = 300ms}});
        std::thread sleeping([this] { attendance->endWork(false); });
        ASSERT_TRUE(sim.waitForRequests(1, deadline));
        if (nextDay) {
            // Not waiting for the late answer; this start sends the kept end again, answered at once.
            start(attendance, "sato", false);
        } else {
            now += 600;
            endOffline(*attendance, true);
        }
        sleeping.join();
        ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
        EXPECT_EQ(attendance->recordno().empty(), !nextDay);
        EXPECT_EQ(pending("keepWorkEnds"), nextDay ? "" : day + " " + nowText());
    }
}

// A work start reads the kept ends before its day opens, tells of its success and opens the day before it sends
// them: the user, seeing nothing for a minute, would start again and make a second record; and an end of the new
// day, kept at once, is no earlier day's to send. A list edited by hand loses nothing: without its quotes QSettings
// reads it as a list, and an entry that cannot be read stays as it stands, unsent, told of once.
TEST_F(AttendanceTest, AWorkStartOpensItsDayBeforeSendingWhatWasKeptAndLosesNoneOfIt) {
    std::ofstream(dir.filePath("Stampo.conf").toStdString(), std::ios::app)
        << "keepWorkEnds=901 2024-04-30T09:00:00Z, yesterday 5pm, 902 2024-04-30T10:00:00Z\n";
    Texts notices;
    const auto reopened = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    const auto day = std::make_shared<Attendance>(reopened, client, reachability, mainQueue, alert, clock,
                                                  [&notices](const std::string& notice) { notices.push_back(notice); });
    sim.addFault({"PUT", recordPath, "", 0, 1, fault(Fault::Kind::Hang)});
    std::atomic<bool> endedAtOnce = false;
    day->setStateListener([&] {
        if (!day->recordno().empty() && !endedAtOnce.exchange(true))
            endOffline(*day, false);
    });
    start(day);
    EXPECT_FALSE(day->recordno().empty()) << "the day opens while the kept end is still on its way";
    ASSERT_TRUE(sim.waitForRequests(2, deadline));
    sim.releaseHangs();
    ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
    EXPECT_EQ(updates(), (Texts{"901 2024-04-30T09:00:00Z", "902 2024-04-30T10:00:00Z"}))
        << "the new day's end was sent as an earlier one";
    EXPECT_EQ(reopened->objectForKey("keepWorkEnds"),
              "901 2024-04-30T09:00:00Z, yesterday 5pm, " + day->recordno() + " " + nowText());
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("yesterday 5pm"), std::string::npos) << notices[0];
}

// Sleep, power-off and the session's end end the open working day by themselves, and also the day of a work start on
// its way that kintone takes meanwhile: while the machine is about to sleep, or for good once the session ends.
TEST_F(AttendanceTest, TheDayEndsBySelfAndSoDoesTheDayOfAStartOnItsWay) {
    using Ending = Attendance::Ending;
    const auto soon = [](auto wait) { return std::chrono::steady_clock::now() + wait; };
    for (const Ending ending : {Ending::Session, Ending::Suspend}) {
        SCOPED_TRACE(ending == Ending::Session ? "the session ends" : "the machine goes to sleep");
        const auto day = make(client);
        sim.clearRequests();
        sim.addFault({"POST", recordPath, "", 0, 1, {.kind = Fault::Kind::Delay, .delay = 300ms}});
        day->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
        ASSERT_TRUE(sim.waitForRequests(1, deadline));
        EXPECT_TRUE(day->endBySelf(ending, soon(deadline)));
        EXPECT_EQ(updates(), Texts{sim.records(1).back()["$id"]["value"].get<std::string>() + " " + nowText()})
            << "the day the start opened has no end";

        // A start kintone takes only after the wait gave up (the machine asleep meanwhile): after the session's end
        // its day ends at once; after sleep, the user works on.
        sim.addFault({"POST", recordPath, "", 0, 1, {.kind = Fault::Kind::Delay, .after = "size="}});
        day->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
        ASSERT_TRUE(sim.waitForRequests(3, deadline));
        EXPECT_FALSE(day->endBySelf(ending, soon(50ms)));
        Outcome woken;
        users(client, woken);
        ASSERT_TRUE(woken.wait() && workers.waitIdle(deadline));
        EXPECT_EQ(day->recordno().empty(), ending == Ending::Session);
        EXPECT_EQ(sim.requests("PUT", recordPath).size(), ending == Ending::Session ? 2u : 1u);
    }

    // The user's own work end, cut off while the session ends, is kept, from before it is sent: nobody is left to ask
    // again. It is on its way from its first step: the session's end then does not send it a second time, nor does a
    // second way of ending the session (the display lost after a signal).
    const auto asking = make(client);
    std::atomic<bool> endSession = false;
    asking->setStateListener([&] {
        if (endSession.exchange(false)) {
            EXPECT_TRUE(asking->isSending());
            EXPECT_FALSE(asking->endBySelf(Ending::Session, soon(50ms)));
        }
    });
    start(asking);
    ASSERT_TRUE(workers.waitIdle(deadline)) << "the start's last changes would meet the session's end";
    sim.clearRequests();
    sim.addFault({"PUT", recordPath, "", 0, 1, fault(Fault::Kind::Hang)});
    endSession = true;
    std::thread user([&] { asking->endWork(true); });
    ASSERT_TRUE(sim.waitForRequests(1, deadline));
    EXPECT_EQ(pending(), asking->recordno()) << "not kept while on its way";
    sim.releaseHangs();
    user.join();
    ASSERT_TRUE(workers.waitIdle(deadline));
    EXPECT_TRUE(asking->endBySelf(Ending::Session, soon(deadline)));
    EXPECT_EQ(pending(), asking->recordno());
    EXPECT_EQ(sim.requests().size(), 1u);
}

// A work start or end with a setting missing, and a notification that names no employee, send nothing.
TEST_F(AttendanceTest, IncompleteSettingsSendNothing) {
    const std::string incomplete = "Kintone設定が完了していません";
    attendance->didStampoAttend(std::nullopt); // neither names an employee
    attendance->didStampoAttend(Attendance::UserInfo{{"other", "x"}});
    for (const char* key : {"fieldIn", "fieldUserType", "appID", "proxyPassword"}) {
        const auto value = store->stringForKey(key);
        store->removeObjectForKey(key);
        start(attendance);
        EXPECT_EQ(alert->messages().back(), incomplete) << key;
        store->setObjectForKey(*value, key);
    }
    EXPECT_TRUE(sim.requests().empty());

    start(attendance);
    store->removeObjectForKey("fieldOutType");
    attendance->endWork(false);
    EXPECT_TRUE(pending().has_value()) << "an automatic work end is kept for when the settings are complete";
    attendance->endWork(true);
    ASSERT_TRUE(alert->waitForCount(6));
    EXPECT_EQ(alert->messages().back(), incomplete);
    EXPECT_EQ(pending(), std::nullopt);
    EXPECT_TRUE(sim.requests("PUT", recordPath).empty());

    // An add answer without kintone's id, a number in a text, opens no working day: the id goes into the kept work
    // ends and into every later update.
    for (const char* body : {R"({"revision":"1"})", R"({"id":7})", R"({"id":""})", R"({"id":"7, 8 2024"})",
                             R"({"id":"7 x"})", R"({"id":"123456789012345678901"})"}) {
        sim.clearFaults();
        sim.addFault(on("POST", recordPath, answer(200, body)));
        start(attendance);
        EXPECT_EQ(alert->messages().back(), "kintoneからの応答の形式が正しくありません") << body;
        EXPECT_EQ(attendance->recordno(), "") << body;
    }
}

// Where no public name resolves and only a proxy reaches out, the network counts as there when the proxy that carries
// the request can be reached: here the environment's for kintone's address, unless no_proxy names it (Stampo's own
// proxy: DesktopProxyTest).
TEST_F(AttendanceTest, AProxyOnlyNetworkIsThereWhenItsProxyIs) {
    LoopbackProxy open(LoopbackProxy::Kind::Tinyproxy);
    ASSERT_TRUE(open.running()) << "tinyproxy cannot be started (is it installed?)";
    const auto day = make(client, std::make_shared<HostReachability>("unresolvable.invalid"));
    setenv("https_proxy", ("http://127.0.0.1:" + open.port()).c_str(), 1);
    for (const char* noProxy : {"", "localhost,.cybozu.com"}) {
        setenv("no_proxy", noProxy, 1);
        start(day);
        EXPECT_EQ(alert->messages().back(), *noProxy ? "ネットワークに接続していません" : sent) << noProxy;
    }
    unsetenv("no_proxy"); // https_proxy: each test's fixture
}

// A process killed between any two writes of the kept work ends leaves the list as it was or as it was to be, and
// beside it no pair or a whole one, never one record's id with another's end time. The file is written through, so
// such a process leaves what it holds after one of the writes.
TEST(PendingWorkEnds, EveryWriteLeavesTheListOldOrNewBesideAWholePair) {
    // The settings file, and the kept ends and the pair beside them after each write.
    struct Watched final : SettingsStore {
        using Text = const std::string&;
        std::optional<std::string> objectForKey(Text key) const override { return file.objectForKey(key); }
        std::optional<std::string> stringForKey(Text key) const override { return file.stringForKey(key); }
        void setObjectForKey(Text value, Text key) override { file.setObjectForKey(value, key), wrote(); }
        void removeObjectForKey(Text key) override { file.removeObjectForKey(key), wrote(); }
        void wrote() {
            states.emplace_back(PendingWorkEnds::read(file),
                                PendingWorkEnd{stringForKey("keepRecordno").value_or(""), stringForKey("keepOuttime")});
        }
        QTemporaryDir dir;
        QSettingsStore file{dir.filePath("Stampo.conf")};
        std::vector<std::pair<Ends, PendingWorkEnd>> states;
    } watched;
    const std::string a = "901 2024-04-30T09:00:00Z", b = "902 2024-04-30T10:00:00Z", ab = a + ", " + b;
    // What a work start, a work end or kintone's answer makes of the list: one added, taken away, or given a later end.
    const std::pair<std::string, std::string> changes[] = {
        {"", a}, {a, ab}, {ab, b}, {b, ""}, {"903", a}, {a, "903"}, {ab, "901 2024-05-01T09:00:00Z, " + b}};
    for (const auto& [before, after] : changes) {
        const Ends from = PendingWorkEnds::parse(before), to = PendingWorkEnds::parse(after);
        PendingWorkEnds::write(watched, from);
        watched.states.clear();
        PendingWorkEnds::write(watched, to);
        for (const auto& [kept, pair] : watched.states) {
            EXPECT_TRUE(kept == from || kept == to) << before << " -> " << PendingWorkEnds::format(kept);
            EXPECT_TRUE(pair.recordId.empty() || std::ranges::find(from, pair) != from.end() ||
                        std::ranges::find(to, pair) != to.end())
                << PendingWorkEnds::format({pair}) << " beside " << PendingWorkEnds::format(kept);
        }
        EXPECT_EQ(watched.states.back(), std::pair(to, to.empty() ? PendingWorkEnd{} : to.front())) << "not the oldest";
    }
}

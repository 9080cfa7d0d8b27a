#include "ZUMFunc.h"
#include "attendance/PendingWorkEnds.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/LoopbackProxy.h"

#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <fstream>
#include <latch>
#include <map>
#include <thread>

using namespace stampo;
using namespace stampo::test;

namespace {

constexpr long long startAt = 1714523400; // 2024-05-01T00:30:00Z
constexpr long long endAt = 1714554000;   // 2024-05-01T09:00:00Z
constexpr const char* sent = "送信完了";

class AttendanceTest : public KintoneTest {
protected:
    AttendanceTest() { configure(*store, authCode); }

    std::shared_ptr<Attendance> make(Kintone kintone, std::shared_ptr<QSettingsStore> settings = nullptr) {
        return std::make_shared<Attendance>(settings ? settings : store, std::move(kintone), reachability, mainQueue,
                                            alert,
                                            [this] { return std::chrono::sys_seconds(std::chrono::seconds(now)); });
    }

    // Chooses the employee and waits until the work start has shown its alert.
    void start(const std::string& employee, const std::shared_ptr<Attendance>& on = nullptr) {
        // An earlier work end returns before its worker queues "送信完了": count only once that has been shown.
        ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
        const std::size_t before = alert->messages().size();
        (on ? on : attendance)->didStampoAttend(Attendance::UserInfo{{"keepUser", employee}});
        ASSERT_TRUE(alert->waitForCount(before + 1));
    }

    std::optional<std::string> pending(const char* key = "keepRecordno") const { return store->stringForKey(key); }
    Json lastBody(const char* method) const {
        const auto requests = sim.requests(method, recordPath);
        return requests.empty() ? Json() : Json::parse(requests.back().body);
    }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<SwitchedReachability> reachability = std::make_shared<SwitchedReachability>();
    std::atomic<long long> now{startAt};
    std::shared_ptr<Attendance> attendance = make(client);
};

} // namespace

TEST_F(AttendanceTest, WorkStartAndEndSendExactlyTheirFields) {
    const std::tuple<const char*, const char*, const char*, Json> cases[] = {
        {"employee", "USER_SELECT", "sato", Json::parse(R"({"value":[{"code":"sato"}]})")},
        {"employeeNo", "NUMBER", "1001", Json::parse(R"({"value":"1001"})")}};
    for (const auto& [field, type, employee, value] : cases) {
        SCOPED_TRACE(type);
        store->setObjectForKey(field, "fieldUser");
        store->setObjectForKey(type, "fieldUserType");
        now = startAt;
        start(employee);
        const std::string record = attendance->recordno();
        EXPECT_EQ(lastBody("POST"),
                  (Json{{"app", "1"}, {"record", {{"start", {{"value", "2024-05-01T00:30:00Z"}}}, {field, value}}}}));

        now = endAt;
        attendance->endWork(true);
        EXPECT_EQ(lastBody("PUT"),
                  (Json{{"app", "1"}, {"id", record}, {"record", {{"end", {{"value", "2024-05-01T09:00:00Z"}}}}}}));
        EXPECT_EQ(attendance->recordno(), "");
        EXPECT_EQ(pending(), std::nullopt);
    }
    ASSERT_TRUE(alert->waitForCount(4) && mainQueue->drain());
    EXPECT_EQ(alert->messages(), std::vector<std::string>(4, sent));
}

TEST_F(AttendanceTest, NothingToEndOrOfflineSendsNothingAndKeepsThePendingWorkEnd) {
    // Off duty, e.g. going to sleep before any work start: no request, and an earlier pending work end survives.
    store->setObjectForKey("7", "keepRecordno");
    store->setObjectForKey("2024-04-30T09:00:00Z", "keepOuttime");
    attendance->endWork(false);
    EXPECT_EQ(pending(), "7");

    // A pending work end without a record is consumed by the next work start without a request.
    store->setObjectForKey("", "keepRecordno");
    start("sato");
    ASSERT_TRUE(workers.waitIdle(deadline));
    EXPECT_EQ(pending(), std::nullopt);

    // Going to sleep offline: kept, without an alert.
    reachability->reachable = false;
    now = endAt;
    attendance->endWork(false);
    EXPECT_EQ(pending("keepOuttime"), "2024-05-01T09:00:00Z");
    // Once the network is back, a second work end of the day still open replaces the end time and sends it.
    reachability->reachable = true;
    now = endAt + 1800;
    attendance->endWork(true);
    EXPECT_EQ(lastBody("PUT")["record"]["end"]["value"], "2024-05-01T09:30:00Z");
    EXPECT_EQ(pending(), std::nullopt);

    // A work start offline stores the employee and sends nothing; a notification without an employee does nothing.
    reachability->reachable = false;
    start("suzuki");
    attendance->didStampoAttend(std::nullopt);
    attendance->didStampoAttend(Attendance::UserInfo{{"other", "x"}});
    EXPECT_EQ(store->stringForKey("keepUser"), "suzuki");
    EXPECT_EQ(sim.requests().size(), 2u) << "one work start, one work end";
    ASSERT_TRUE(mainQueue->drain());
    EXPECT_EQ(alert->messages(), (std::vector<std::string>{sent, sent, "ネットワークに接続していません"}));
}

// An automatic work end is dropped only when kintone itself refused it: its error object with a 4xx status. Whatever
// else becomes of it (no answer, "not now", a proxy's or a portal's page, an answer that is not kintone's) keeps it
// for the next work start. One the user asked for is never kept: the alert tells them. Sent once, never retried, and
// the working day stays open. The client's alert is the only one; the main thread, where it is queued, may send it.
TEST_F(AttendanceTest, AFailedAutomaticWorkEndIsDroppedOnlyWhenKintoneRefusedIt) {
    std::atomic<bool> threads = true;
    auto options = transportOptions();
    options.startThread = [&threads, start = options.startThread](auto work) { return threads && start(work); };
    const auto day = make(makeClient(options));
    const std::string kintoneError = R"({"code":"GAIA_RE01","id":"x","message":"レコードが見つかりません。"})";
    const struct {
        const char* name;
        std::optional<Fault> fault; // none: no thread can be started
        bool keptIfAutomatic;
    } cases[] = {
        {"connection cut", fault(Fault::Kind::Cut), true},
        {"kintone refuses (404)", answer(404, kintoneError), false},
        {"kintone refuses (400)",
         answer(400, R"({"code":"CB_VA01","id":"x","message":"入力内容が正しくありません。"})"), false},
        {"kintone under maintenance (503)", answer(503, kintoneError), true},
        {"kintone fails (500)", answer(500, kintoneError), true},
        {"a gateway's 404 without kintone's code", answer(404, R"({"message":"Not Found"})"), true},
        {"a proxy's page", answer(403, "<html><body>Access denied</body></html>", "text/html"), true},
        {"an empty 200", answer(200, ""), true},
        {"a 200 that is not an object", answer(200, "[]"), true},
        {"no thread", std::nullopt, true},
    };
    for (const auto& c : cases)
        for (const bool interactive : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (interactive ? ", interactive" : ", automatic"));
            start("sato", day);
            const auto alerts = alert->messages().size(), puts = sim.requests("PUT", recordPath).size();
            const std::string record = day->recordno();
            if (c.fault)
                sim.addFault(on("PUT", recordPath, *c.fault));
            threads = c.fault.has_value();
            mainQueue->async([&] { day->endWork(interactive); });
            ASSERT_TRUE(mainQueue->drain()) << "endWork deadlocked on the main thread";
            sim.clearFaults();
            threads = true;

            EXPECT_EQ(pending().has_value(), c.keptIfAutomatic && !interactive);
            EXPECT_EQ(day->recordno(), record);
            EXPECT_EQ(sim.requests("PUT", recordPath).size() - puts, std::size_t(c.fault.has_value()));
            ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
            EXPECT_EQ(alert->messages().size(), alerts + 1);
            PendingWorkEnds::write(*store, {});
        }
}

// No work end kintone never took is lost, however many outages follow one another with a restart between each: each
// work start sends every kept one, oldest first, once each. A file of an earlier version holds one pair, read as
// the one entry; the pair this version keeps beside the list is its oldest, what an earlier version would send.
TEST_F(AttendanceTest, EveryUnansweredWorkEndIsKeptAndSentOldestFirstAcrossRestarts) {
    std::vector<std::string> days;
    std::map<std::string, std::string> ends;
    std::shared_ptr<QSettingsStore> file = store;
    const auto restart = [&] {
        file = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
        return make(client, file);
    };
    // A day starts (sending what is kept), and ends by itself, offline.
    const auto dayOffline = [&](const std::shared_ptr<Attendance>& day, bool interactive) {
        sim.clearRequests();
        start("sato", day);
        ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
        days.push_back(day->recordno());
        now += 3600;
        ends[days.back()] = ZUMFunc::datetime(std::chrono::sys_seconds(std::chrono::seconds(now)));
        reachability->reachable = false;
        day->endWork(interactive);
        reachability->reachable = true;
    };
    const auto sent = [&] {
        std::vector<std::string> records;
        for (const auto& update : sim.requests("PUT", recordPath)) {
            const Json body = Json::parse(update.body);
            EXPECT_EQ(body["record"]["end"]["value"], ends[body["id"].get<std::string>()]);
            records.push_back(body["id"]);
        }
        return records;
    };
    const auto kept = [&](std::initializer_list<std::size_t> indices) {
        std::string text;
        for (const std::size_t i : indices)
            text += (text.empty() ? "" : ", ") + days[i] + " " + ends[days[i]];
        return text;
    };

    dayOffline(restart(), false);
    // What an earlier version left: the pair alone.
    file->removeObjectForKey("keepWorkEnds");
    ASSERT_EQ(file->stringForKey("keepRecordno"), days[0]);

    sim.addFault(on("PUT", recordPath, fault(Fault::Kind::Cut)));
    dayOffline(restart(), true);
    EXPECT_EQ(sent(), std::vector<std::string>{days[0]});
    EXPECT_EQ(file->stringForKey("keepWorkEnds"), kept({0, 1})) << "the older one was overwritten";
    EXPECT_EQ(file->stringForKey("keepRecordno"), days[0]);
    EXPECT_EQ(file->stringForKey("keepOuttime"), ends[days[0]]);

    sim.clearFaults();
    sim.addFault({"PUT", recordPath, "", 0, 1, fault(Fault::Kind::Cut)}); // the first only
    dayOffline(restart(), false);
    EXPECT_EQ(sent(), (std::vector<std::string>{days[0], days[1]}));
    EXPECT_EQ(file->stringForKey("keepWorkEnds"), kept({0, 2}));

    sim.clearFaults();
    sim.clearRequests();
    start("sato", restart());
    ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
    EXPECT_EQ(sent(), (std::vector<std::string>{days[0], days[2]}));
    EXPECT_EQ(file->stringForKey("keepWorkEnds"), "");
    EXPECT_EQ(file->objectForKey("keepRecordno"), std::nullopt);
    for (const std::string& day : days)
        EXPECT_EQ(sim.record(1, std::stoi(day))["end"]["value"], ends[day]) << day;
}

// A work end answered late closes only its own working day, and takes away only its own kept end: the user may have
// ended the day again meanwhile, or started the next.
TEST_F(AttendanceTest, ALateAnswerLeavesANewerEndAndANewerDayAlone) {
    Fault late = fault(Fault::Kind::Delay);
    late.delay = 300ms;
    for (const bool nextDay : {false, true}) {
        SCOPED_TRACE(nextDay ? "the next day starts" : "the day is ended again offline");
        start("sato");
        const std::string day = attendance->recordno();
        sim.clearRequests();
        sim.addFault({"PUT", recordPath, "", 0, 1, late});
        std::thread sleeping([this] { attendance->endWork(false); });
        ASSERT_TRUE(sim.waitForRequests(1, deadline));
        if (nextDay) {
            // Not through start(), which would wait for the late answer; this start sends the kept end again,
            // answered at once.
            const std::size_t alerts = alert->messages().size();
            attendance->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
            ASSERT_TRUE(alert->waitForCount(alerts + 1));
        } else {
            now += 600;
            reachability->reachable = false;
            attendance->endWork(true);
            reachability->reachable = true;
        }
        sleeping.join();
        ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
        sim.clearFaults();
        EXPECT_EQ(attendance->recordno().empty(), !nextDay);
        EXPECT_NE(attendance->recordno(), day);
        const std::string newer = ZUMFunc::datetime(std::chrono::sys_seconds(std::chrono::seconds(now)));
        const std::vector<PendingWorkEnd> keptAfter =
            nextDay ? std::vector<PendingWorkEnd>{} : std::vector<PendingWorkEnd>{{day, newer}};
        EXPECT_EQ(PendingWorkEnds::read(*store), keptAfter);
        PendingWorkEnds::write(*store, {});
        attendance->endWork(true);
    }
}

// A work start reads the kept ends before its day opens, tells of its success and opens the day before it sends
// them: the user, seeing nothing for a minute, would start again and make a second record; and an end of the new
// day, kept at once, is no earlier day's to send.
TEST_F(AttendanceTest, AWorkStartOpensItsDayBeforeSendingWhatWasKept) {
    PendingWorkEnds::write(*store, {{"901", "2024-04-30T09:00:00Z"}});
    sim.addFault(on("PUT", recordPath, fault(Fault::Kind::Hang)));
    std::atomic<bool> endedAtOnce = false;
    attendance->setStateListener([&] {
        const std::string day = attendance->recordno();
        if (day.empty() || endedAtOnce.exchange(true))
            return;
        reachability->reachable = false;
        attendance->endWork(false);
        reachability->reachable = true;
    });
    start("sato");
    EXPECT_FALSE(attendance->recordno().empty()) << "the day opens while the kept end is still on its way";
    ASSERT_TRUE(sim.waitForRequests(2, deadline));
    sim.releaseHangs();
    ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
    ASSERT_TRUE(endedAtOnce);
    const auto updates = sim.requests("PUT", recordPath);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(Json::parse(updates[0].body)["id"], "901") << "the new day's end was sent as an earlier one";
}

// Sleep, power-off and the session's end end the open working day by themselves, and also the day of a work start on
// its way that kintone takes meanwhile: while the machine is about to sleep, or for good once the session ends. The
// session's end sends it once, however many ways the session ends.
TEST_F(AttendanceTest, TheDayEndsBySelfAndSoDoesTheDayOfAStartOnItsWay) {
    using Ending = Attendance::Ending;
    const auto soon = [] { return std::chrono::steady_clock::now() + deadline; };
    const auto ended = [this] {
        const auto updates = sim.requests("PUT", recordPath);
        return updates.empty() ? Json() : Json::parse(updates.back().body)["id"];
    };
    Fault late = fault(Fault::Kind::Delay);
    late.delay = 300ms;

    for (const Ending ending : {Ending::Session, Ending::Suspend}) {
        SCOPED_TRACE(ending == Ending::Session ? "the session ends" : "the machine goes to sleep");
        const auto day = make(client);
        sim.clearRequests();
        sim.addFault({"POST", recordPath, "", 0, 1, late});
        day->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
        ASSERT_TRUE(sim.waitForRequests(1, deadline));
        EXPECT_TRUE(day->endBySelf(ending, soon()));
        ASSERT_EQ(sim.requests("PUT", recordPath).size(), 1u) << "the day the start opened has no end";
        EXPECT_EQ(ended(), sim.records(1).back()["$id"]["value"]);
        EXPECT_EQ(day->recordno(), "");
        EXPECT_EQ(pending(), std::nullopt);

        // After the session's end, a day that opens ends at once; after sleep, the user works on.
        start("sato", day);
        ASSERT_TRUE(workers.waitIdle(deadline));
        EXPECT_EQ(day->recordno().empty(), ending == Ending::Session);
        EXPECT_EQ(sim.requests("PUT", recordPath).size(), ending == Ending::Session ? 2u : 1u);
    }

    // The session's end sends the open day's end once: a second way of ending it (the display lost after a signal)
    // sends nothing more, and keeps the end time the first one kept.
    const auto day = make(client);
    start("sato", day);
    sim.clearRequests();
    reachability->reachable = false;
    EXPECT_TRUE(day->endBySelf(Ending::Session, soon()));
    const auto kept = pending("keepOuttime");
    ASSERT_TRUE(kept.has_value());
    now += 600;
    reachability->reachable = true;
    EXPECT_TRUE(day->endBySelf(Ending::Session, soon()));
    EXPECT_EQ(pending("keepOuttime"), kept);
    EXPECT_TRUE(sim.requests().empty());
    PendingWorkEnds::write(*store, {});
    const auto asking = make(client);

    // The user's own work end, cut off while the session ends, is kept: nobody is left to ask again.
    start("sato", asking);
    sim.clearRequests();
    sim.addFault({"PUT", recordPath, "", 0, 1, fault(Fault::Kind::Hang)});
    asking->endWorkInBackground(true);
    ASSERT_TRUE(sim.waitForRequests(1, deadline));
    EXPECT_FALSE(asking->endBySelf(Ending::Session, std::chrono::steady_clock::now() + 50ms));
    sim.releaseHangs();
    ASSERT_TRUE(workers.waitIdle(deadline));
    EXPECT_EQ(pending(), asking->recordno());

    // Before sleep, a start kintone takes only after the wait gave up (the machine asleep meanwhile) opens its day.
    const auto sleeping = make(client);
    PendingWorkEnds::write(*store, {});
    sim.clearRequests();
    Fault afterWaking = fault(Fault::Kind::Delay);
    afterWaking.after = "size=";
    sim.addFault({"POST", recordPath, "", 0, 1, afterWaking});
    sleeping->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
    ASSERT_TRUE(sim.waitForRequests(1, deadline));
    EXPECT_FALSE(sleeping->endBySelf(Ending::Suspend, std::chrono::steady_clock::now() + 50ms));
    Outcome woken;
    users(client, woken);
    ASSERT_TRUE(woken.wait() && workers.waitIdle(deadline));
    EXPECT_FALSE(sleeping->recordno().empty());
    EXPECT_TRUE(sim.requests("PUT", recordPath).empty());
}

// A work end is on its way from its first step: a sleep's end still asking whether the network is there is not sent a
// second time by the session's end.
TEST_F(AttendanceTest, AWorkEndIsOnItsWayFromItsFirstStep) {
    struct Gated final : Reachability {
        bool isReachable(const std::string&) const override {
            if (gated.exchange(false)) {
                entered.count_down();
                open.wait();
            }
            return true;
        }
        mutable std::atomic<bool> gated{false};
        mutable std::latch entered{1}, open{1};
    };
    const auto gated = std::make_shared<Gated>();
    const auto day = std::make_shared<Attendance>(store, client, gated, mainQueue, alert);
    start("sato", day);
    gated->gated = true;
    std::thread sleep([&] { day->endWork(false); });
    gated->entered.wait();
    EXPECT_TRUE(day->isSending());
    std::thread session(
        [&] { day->endBySelf(Attendance::Ending::Session, std::chrono::steady_clock::now() + deadline); });
    gated->open.count_down();
    sleep.join();
    session.join();
    ASSERT_TRUE(workers.waitIdle(deadline));
    EXPECT_EQ(sim.requests("PUT", recordPath).size(), 1u);
    EXPECT_EQ(day->recordno(), "");
}

TEST_F(AttendanceTest, IncompleteSettingsSendNothing) {
    const std::string incomplete = "Kintone設定が完了していません";
    for (const char* key : {"fieldIn", "fieldUserType", "appID", "proxyPassword"}) {
        const auto value = store->stringForKey(key);
        store->removeObjectForKey(key);
        start("sato");
        EXPECT_EQ(alert->messages().back(), incomplete) << key;
        store->setObjectForKey(*value, key);
    }
    EXPECT_TRUE(sim.requests().empty());

    start("sato");
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
        start("sato");
        EXPECT_EQ(alert->messages().back(), "kintoneからの応答の形式が正しくありません") << body;
        EXPECT_EQ(attendance->recordno(), "") << body;
    }
}

// Where no public name resolves and only a proxy reaches out, the network counts as there when the proxy that carries
// the request can be reached: Stampo's own, or the environment's for kintone's address.
TEST_F(AttendanceTest, AProxyOnlyNetworkIsThereWhenItsProxyIs) {
    LoopbackProxy open(LoopbackProxy::Kind::Tinyproxy);
    ASSERT_TRUE(open.running()) << "tinyproxy cannot be started (is it installed?)";
    const auto day = std::make_shared<Attendance>(
        store, client, std::make_shared<HostReachability>("unresolvable.invalid"), mainQueue, alert);
    const std::string environment = "http://127.0.0.1:" + open.port();
    const struct {
        const char *own, *environment, *noProxy;
        bool sent;
    } cases[] = {
        {"localhost", "", "", true},
        {"", environment.c_str(), "", true},
        {"", environment.c_str(), "localhost,.cybozu.com", false},
        {"", "", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.own << " " << c.environment << " " << c.noProxy);
        store->setObjectForKey(c.own, "proxyHost");
        store->setObjectForKey(*c.own ? open.port() : "", "proxyPort");
        setenv("https_proxy", c.environment, 1);
        setenv("no_proxy", c.noProxy, 1);
        sim.clearRequests();
        start("sato", day);
        EXPECT_EQ(alert->messages().back(), c.sent ? sent : "ネットワークに接続していません");
        EXPECT_EQ(sim.requests().size(), c.sent ? 1u : 0u);
    }
    unsetenv("https_proxy");
    unsetenv("no_proxy");
}

// A list of kept work ends edited by hand loses nothing: without its quotes QSettings reads it as a list, and an entry
// that cannot be read stays as it stands, unsent, told of once.
TEST_F(AttendanceTest, AKeptListEditedByHandLosesNothing) {
    {
        std::ofstream file(dir.filePath("Stampo.conf").toStdString(), std::ios::app);
        file << "keepWorkEnds=901 2024-04-30T09:00:00Z, yesterday 5pm, 902 2024-04-30T10:00:00Z\n";
    }
    std::vector<std::string> notices;
    const auto reopened = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    const auto day =
        std::make_shared<Attendance>(reopened, client, reachability, mainQueue, alert, &std::chrono::system_clock::now,
                                     [&notices](const std::string& notice) { notices.push_back(notice); });
    EXPECT_TRUE(day->hasPendingWorkEnd());
    start("sato", day);
    ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
    std::vector<std::string> sent;
    for (const auto& update : sim.requests("PUT", recordPath))
        sent.push_back(Json::parse(update.body)["id"]);
    EXPECT_EQ(sent, (std::vector<std::string>{"901", "902"}));
    EXPECT_EQ(reopened->objectForKey("keepWorkEnds"), "yesterday 5pm");
    EXPECT_TRUE(day->hasPendingWorkEnd());
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("yesterday 5pm"), std::string::npos) << notices[0];
}

// The work end of a process killed while sending it is sent by the next work start, as after a restart: without
// announcing it, and leaving the new working day open.
TEST_F(AttendanceTest, PendingWorkEndSurvivesAKilledProcess) {
    sim.addFault(on("PUT", recordPath, fault(Fault::Kind::Hang)));
    QProcess child;
    child.start(STAMPO_ATTENDANCE_CHILD, {dir.filePath("Stampo.conf"), QString::fromStdString(sim.caFile().string()),
                                          QString::fromStdString(sim.connectTo())});
    ASSERT_TRUE(sim.waitForRequests(2, deadline)) << "the child did not send its work end";
    child.kill();
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    sim.clearFaults();
    sim.releaseHangs();

    const std::string record = Json::parse(sim.requests("PUT", recordPath).front().body)["id"];
    auto reopened = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    EXPECT_EQ(reopened->stringForKey("keepRecordno"), record);
    const std::string endTime = reopened->stringForKey("keepOuttime").value_or("(none)");

    auto next = make(client, reopened);
    start("sato", next);
    ASSERT_TRUE(workers.waitIdle(deadline) && mainQueue->drain());
    EXPECT_EQ(reopened->stringForKey("keepRecordno"), std::nullopt);
    EXPECT_EQ(lastBody("PUT"), (Json{{"app", "1"}, {"id", record}, {"record", {{"end", {{"value", endTime}}}}}}));
    EXPECT_FALSE(next->recordno().empty()) << "the new working day stays open";
    EXPECT_EQ(alert->messages(), std::vector<std::string>{sent});
}

// A process killed between any two writes of the kept work ends leaves the list as it was or as it was to be, and
// beside it no pair or a whole one, never one record's id with another's end time. The child's work start sends the
// two kept ends, which kintone answers or not, then ends its own day offline.
TEST_F(AttendanceTest, AKillBetweenTwoWritesLeavesTheKeptWorkEndsOldOrNew) {
    // Of records kintone no longer has, so that it answers them (404) unless the connection is cut.
    const std::vector<PendingWorkEnd> earlier{{"901", "2024-04-30T09:00:00Z"}, {"902", "2024-04-30T10:00:00Z"}};
    for (const bool taken : {false, true}) {
        sim.clearFaults();
        if (!taken)
            sim.addFault(on("PUT", recordPath, fault(Fault::Kind::Cut)));
        bool finished = false;
        for (int dieAt = 1; !finished; ++dieAt) {
            SCOPED_TRACE(testing::Message() << (taken ? "taken" : "kept") << ", dying at write " << dieAt);
            ASSERT_LE(dieAt, 20) << "the child never got through";
            PendingWorkEnds::write(*std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf")), earlier);
            QProcess child;
            child.start(STAMPO_ATTENDANCE_CHILD,
                        {dir.filePath("Stampo.conf"), QString::fromStdString(sim.caFile().string()),
                         QString::fromStdString(sim.connectTo()), QString::number(dieAt)});
            ASSERT_TRUE(child.waitForFinished(30000));
            finished = child.exitStatus() == QProcess::NormalExit;

            const QSettingsStore reopened(dir.filePath("Stampo.conf"));
            std::vector<PendingWorkEnd> kept = PendingWorkEnds::read(reopened);
            const std::string text = PendingWorkEnds::format(kept);
            // What is left of the earlier ends, in order (all of them when kintone takes none), then the child's own
            // day with its end, once the earlier ones have been answered.
            const bool own = !kept.empty() && kept.back().recordId.rfind("90", 0) != 0;
            EXPECT_TRUE(!own || kept.back().endTime) << text;
            const std::vector<PendingWorkEnd> left(kept.begin(), kept.end() - own);
            const std::vector<PendingWorkEnd> suffix(earlier.end() - std::ssize(left), earlier.end());
            EXPECT_TRUE(left.size() <= earlier.size() && left == suffix && (taken || left == earlier)) << text;
            EXPECT_TRUE(!finished || (own && left.size() == (taken ? 0u : 2u))) << text;
            if (const auto record = reopened.stringForKey("keepRecordno")) {
                const PendingWorkEnd pair{*record, reopened.stringForKey("keepOuttime")};
                EXPECT_TRUE(std::find(earlier.begin(), earlier.end(), pair) != earlier.end() ||
                            (own && pair == kept.back()))
                    << pair.recordId << " " << pair.endTime.value_or("(none)") << " beside " << text;
            }
        }
    }
}

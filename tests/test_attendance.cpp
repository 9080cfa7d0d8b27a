#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"

#include <QProcess>
#include <QTemporaryDir>

using namespace stampo;
using namespace stampo::test;
using kintonesim::Fault;
using kintonesim::FaultRule;

namespace {

using Json = Kintone::Json;

constexpr long long startAt = 1714523400; // 2024-05-01T00:30:00Z
constexpr long long endAt = 1714554000;   // 2024-05-01T09:00:00Z
constexpr long long laterAt = 1714555800; // 2024-05-01T09:30:00Z
constexpr long long nextDay = 1714609800; // 2024-05-02T00:30:00Z
constexpr const char* sent = "送信完了";

Fault hang() {
    Fault fault;
    fault.kind = Fault::Kind::Hang;
    return fault;
}

FaultRule onUpdate(Fault fault, int times = -1) {
    FaultRule rule;
    rule.method = "PUT";
    rule.path = "/k/v1/record.json";
    rule.times = times;
    rule.fault = std::move(fault);
    return rule;
}

bool noPendingWorkEnd(const SettingsStore& store) {
    return !store.objectForKey("keepRecordno") && !store.objectForKey("keepOuttime");
}

class AttendanceTest : public KintoneTest {
protected:
    AttendanceTest() { configure(*store, authCode); }

    std::shared_ptr<Attendance> makeAttendance(Kintone kintone) {
        return std::make_shared<Attendance>(store, std::move(kintone), reachability, mainQueue, alert, clock.clock());
    }

    // Chooses the employee and waits until the work start has shown its alert.
    void start(const std::string& employee, const std::shared_ptr<Attendance>& on = nullptr) {
        const std::size_t before = alert->messages().size();
        (on ? on : attendance)->didStampoAttend(Attendance::UserInfo{{"keepUser", employee}});
        ASSERT_TRUE(alert->waitForCount(before + 1));
    }

    // Runs what the main queue holds so far, so that an alert that was going to come has come.
    void drainMainQueue() {
        auto marker = std::make_shared<Outcome>();
        mainQueue->async([marker] { marker->failure()(); });
        ASSERT_TRUE(marker->wait());
    }

    std::optional<std::string> pendingRecord() const { return store->stringForKey("keepRecordno"); }
    std::optional<std::string> pendingTime() const { return store->stringForKey("keepOuttime"); }

    Json lastBody(const char* method) const {
        return Json::parse(sim.requests(method, "/k/v1/record.json").back().body);
    }

    // Polls with a deadline for what happens on a worker after the caller was told.
    template <typename Predicate> static bool eventually(Predicate predicate) {
        const auto until = std::chrono::steady_clock::now() + deadline;
        while (!predicate()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<SwitchedReachability> reachability = std::make_shared<SwitchedReachability>();
    SetClock clock;
    std::shared_ptr<Attendance> attendance = makeAttendance(client);
};

} // namespace

TEST_F(AttendanceTest, WorkStartAndEndSendExactlyTheirFields) {
    const struct {
        const char* name;
        const char* fieldUser;
        const char* fieldUserType;
        const char* employee;
        Json employeeValue;
    } cases[] = {
        {"user selection", "employee", "USER_SELECT", "sato", Json::parse(R"({"value":[{"code":"sato"}]})")},
        {"lookup", "employeeNo", "NUMBER", "1001", Json::parse(R"({"value":"1001"})")},
    };
    std::size_t alerts = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        store->setObjectForKey(c.fieldUser, "fieldUser");
        store->setObjectForKey(c.fieldUserType, "fieldUserType");
        clock.set(startAt);
        start(c.employee);
        EXPECT_EQ(alert->messages().back(), sent);
        EXPECT_EQ(store->stringForKey("keepUser"), c.employee);
        const std::string record = attendance->recordno();
        ASSERT_FALSE(record.empty());
        EXPECT_EQ(lastBody("POST"),
                  (Json{{"app", "1"},
                        {"record", {{"start", {{"value", "2024-05-01T00:30:00Z"}}}, {c.fieldUser, c.employeeValue}}}}));

        clock.set(endAt);
        attendance->endWork(true);
        EXPECT_EQ(lastBody("PUT"),
                  (Json{{"app", "1"}, {"id", record}, {"record", {{"end", {{"value", "2024-05-01T09:00:00Z"}}}}}}));
        EXPECT_EQ(attendance->recordno(), "");
        EXPECT_EQ(pendingRecord(), std::nullopt);
        EXPECT_EQ(pendingTime(), std::nullopt);
        alerts += 2;
        ASSERT_TRUE(alert->waitForCount(alerts));
    }
    drainMainQueue();
    EXPECT_EQ(alert->messages(), std::vector<std::string>(4, sent));
}

TEST_F(AttendanceTest, WorkEndOfflineIsKeptAndSentLater) {
    start("sato");
    const std::string first = attendance->recordno();

    reachability->reachable = false;
    clock.set(endAt);
    attendance->endWork(true);
    EXPECT_EQ(pendingRecord(), first);
    EXPECT_EQ(pendingTime(), "2024-05-01T09:00:00Z");
    EXPECT_EQ(attendance->recordno(), first) << "still on duty";

    // Once the network is back, a second work end replaces the end time and sends it.
    reachability->reachable = true;
    clock.set(laterAt);
    attendance->endWork(true);
    EXPECT_EQ(lastBody("PUT")["record"]["end"]["value"], "2024-05-01T09:30:00Z");
    EXPECT_EQ(pendingRecord(), std::nullopt);
    EXPECT_EQ(attendance->recordno(), "");
    ASSERT_TRUE(alert->waitForCount(2));

    // Offline again; this time the application restarts and the next work start carries the work end along.
    start("sato");
    const std::string second = attendance->recordno();
    reachability->reachable = false;
    clock.set(endAt);
    attendance->endWork(true);
    reachability->reachable = true;
    attendance.reset();

    auto reopened = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    auto restarted = std::make_shared<Attendance>(reopened, client, reachability, mainQueue, alert, clock.clock());
    clock.set(nextDay);
    start("sato", restarted);
    EXPECT_TRUE(eventually([&] { return noPendingWorkEnd(*reopened); }));
    EXPECT_EQ(lastBody("PUT"),
              (Json{{"app", "1"}, {"id", second}, {"record", {{"end", {{"value", "2024-05-01T09:00:00Z"}}}}}}));
    EXPECT_EQ(lastBody("POST")["record"]["start"]["value"], "2024-05-02T00:30:00Z");
    EXPECT_NE(restarted->recordno(), second);
    EXPECT_FALSE(restarted->recordno().empty()) << "the new working day stays open";
    drainMainQueue();
    EXPECT_EQ(alert->messages(), std::vector<std::string>(4, sent)) << "the deferred work end is not announced";
}

TEST_F(AttendanceTest, RejectedWorkEndIsDroppedAndCanBeRepeated) {
    start("sato");
    const std::string record = attendance->recordno();
    sim.addFault(
        onUpdate({Fault::Kind::Answer, 400, R"({"code":"CB_VA01","id":"x","message":"入力が不正です。"})"}, 1));
    clock.set(endAt);
    attendance->endWork(true);
    ASSERT_TRUE(alert->waitForCount(2));
    EXPECT_EQ(alert->messages().back(), "入力が不正です。");
    EXPECT_EQ(pendingRecord(), std::nullopt);
    EXPECT_EQ(attendance->recordno(), record) << "still on duty";

    clock.set(laterAt);
    attendance->endWork(true);
    EXPECT_EQ(lastBody("PUT")["id"], record);
    EXPECT_EQ(lastBody("PUT")["record"]["end"]["value"], "2024-05-01T09:30:00Z");
    EXPECT_EQ(attendance->recordno(), "");
}

TEST_F(AttendanceTest, AutomaticWorkEndKeepsWhatKintoneNeverGot) {
    auto options = transportOptions();
    options.idleTimeout = std::chrono::seconds(1);
    const struct {
        const char* name;
        std::optional<Fault> fault;
        bool reachable;
        bool kept;
        std::size_t alerts; // after the work start's
    } cases[] = {
        {"no answer in time", hang(), true, true, 1},
        {"network down", std::nullopt, false, true, 0},
        {"kintone refuses", Fault{Fault::Kind::Answer, 404, R"({"message":"レコードが見つかりません。"})"}, true, false,
         1},
        {"sent", std::nullopt, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto automatic = makeAttendance(makeClient(options));
        start("sato", automatic);
        const auto before = alert->messages().size();
        const std::string record = automatic->recordno();
        if (c.fault)
            sim.addFault(onUpdate(*c.fault));
        reachability->reachable = c.reachable;
        clock.set(endAt);
        automatic->endWork(false);
        sim.clearFaults();
        sim.releaseHangs();
        reachability->reachable = true;

        EXPECT_EQ(pendingRecord().has_value(), c.kept);
        ASSERT_TRUE(alert->waitForCount(before + c.alerts));
        drainMainQueue();
        EXPECT_EQ(alert->messages().size(), before + c.alerts)
            << "an automatic work end announces no success: " << ::testing::PrintToString(alert->messages());
        EXPECT_EQ(automatic->recordno(), c.kept || c.fault ? record : "");
        store->removeObjectForKey("keepRecordno");
        store->removeObjectForKey("keepOuttime");
    }
}

TEST_F(AttendanceTest, NothingToEndLeavesTheStoreAlone) {
    // Off duty, e.g. going to sleep before any work start: no request, and an earlier pending work end survives.
    store->setObjectForKey("7", "keepRecordno");
    store->setObjectForKey("2024-04-30T09:00:00Z", "keepOuttime");
    attendance->endWork(false);
    EXPECT_TRUE(sim.requests().empty());
    EXPECT_EQ(pendingRecord(), "7");

    // A pending work end without a record is consumed by the next work start without a request.
    store->setObjectForKey("", "keepRecordno");
    start("sato");
    EXPECT_TRUE(eventually([&] { return noPendingWorkEnd(*store); }));
    EXPECT_TRUE(sim.requests("PUT", "/k/v1/record.json").empty());
}

TEST_F(AttendanceTest, IncompleteSettingsSendNothing) {
    const std::string incomplete = "Kintone設定が完了していません";
    for (const char* key : {"fieldIn", "fieldUserType", "appID", "proxyPassword"}) {
        SCOPED_TRACE(key);
        const auto value = store->stringForKey(key);
        store->removeObjectForKey(key);
        start("sato");
        EXPECT_EQ(alert->messages().back(), incomplete);
        store->setObjectForKey(*value, key);
    }
    EXPECT_TRUE(sim.requests().empty());

    start("sato");
    store->removeObjectForKey("fieldOutType");
    attendance->endWork(false);
    EXPECT_TRUE(pendingRecord().has_value()) << "an automatic work end is kept for when the settings are complete";
    attendance->endWork(true);
    ASSERT_TRUE(alert->waitForCount(6));
    EXPECT_EQ(alert->messages().back(), incomplete);
    EXPECT_EQ(pendingRecord(), std::nullopt);
    EXPECT_TRUE(sim.requests("PUT", "/k/v1/record.json").empty());

    // An add answer without an id opens no working day.
    FaultRule noId;
    noId.method = "POST";
    noId.path = "/k/v1/record.json";
    noId.fault = {Fault::Kind::Answer, 200, R"({"revision":"1"})"};
    sim.addFault(noId);
    start("sato");
    EXPECT_EQ(alert->messages().back(), "kintoneからの応答の形式が正しくありません");
    EXPECT_EQ(attendance->recordno(), "");
}

TEST_F(AttendanceTest, WorkStartOfflineStoresTheEmployeeOnly) {
    start("sato");
    reachability->reachable = false;
    start("suzuki");
    EXPECT_EQ(alert->messages().back(), "ネットワークに接続していません");
    EXPECT_EQ(store->stringForKey("keepUser"), "suzuki");
    EXPECT_EQ(attendance->recordno(), "") << "a work start always leaves the open day";
    EXPECT_EQ(sim.requests().size(), 1u);

    // A notification without user info, or without an employee, does nothing.
    attendance->didStampoAttend(std::nullopt);
    attendance->didStampoAttend(Attendance::UserInfo{{"other", "x"}});
    EXPECT_EQ(store->stringForKey("keepUser"), "suzuki");
}

TEST_F(AttendanceTest, WorkEndNeverWaitsForTheMainThread) {
    start("sato");
    // On the main thread, with the client's alert queued behind it.
    sim.addFault(onUpdate({Fault::Kind::Answer, 500, R"({"message":"エラー"})"}));
    auto ended = std::make_shared<Outcome>();
    mainQueue->async([this, ended] {
        attendance->endWork(true);
        ended->failure()();
    });
    ASSERT_TRUE(ended->wait()) << "endWork deadlocked on the main thread";

    // With a client that cannot even start its request.
    auto options = transportOptions();
    options.startThread = [](std::function<void()>) { return false; };
    auto starved = makeAttendance(makeClient(options));
    starved->endWork(true, attendance->recordno(), std::string("2024-05-01T09:00:00Z"));
    ASSERT_TRUE(alert->waitForCount(3));
    EXPECT_EQ(alert->messages().back(), "通信を開始できませんでした");
}

TEST_F(AttendanceTest, PendingWorkEndSurvivesAKilledProcess) {
    sim.addFault(onUpdate(hang()));
    QProcess child;
    child.start(STAMPO_ATTENDANCE_CHILD, {dir.filePath("Stampo.conf"), QString::fromStdString(sim.caFile().string()),
                                          QString::fromStdString(sim.connectTo())});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(sim.waitForRequests(2, deadline)) << "the child did not send its work end";
    child.kill();
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
    sim.clearFaults();
    sim.releaseHangs();

    const std::string record = Json::parse(sim.requests("PUT", "/k/v1/record.json").front().body)["id"];
    auto reopened = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    EXPECT_EQ(reopened->stringForKey("keepRecordno"), record);
    const auto endTime = reopened->stringForKey("keepOuttime");
    ASSERT_TRUE(endTime.has_value());

    auto next = std::make_shared<Attendance>(reopened, client, reachability, mainQueue, alert, clock.clock());
    start("sato", next);
    EXPECT_TRUE(eventually([&] { return noPendingWorkEnd(*reopened); }));
    const auto updates = sim.requests("PUT", "/k/v1/record.json");
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(Json::parse(updates.back().body)["id"], record);
    EXPECT_EQ(Json::parse(updates.back().body)["record"]["end"]["value"], *endTime);
    EXPECT_EQ(sim.record(1, std::stoi(record))["end"]["value"], *endTime);
}

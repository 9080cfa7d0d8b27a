#include "app/QSettingsStore.h"
#include "app/QtMainQueue.h"
#include "attend/AttendView.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <optional>

using namespace stampo;
using namespace stampo::test;
using kintonesim::FaultRule;

// Readable failure messages for the texts the combo box holds.
void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

constexpr const char* placeholder = "従業員を選択";
constexpr const char* cursorPath = "/k/v1/records/cursor.json";
constexpr const char* usersPath = "/v1/users.json";

// The application's main queue, counting the work it has run.
class CountingMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override {
        m_queue.async([ran = ran, work = std::move(work)] {
            work();
            ++*ran;
        });
    }
    const std::shared_ptr<std::atomic<int>> ran = std::make_shared<std::atomic<int>>(0);

private:
    QtMainQueue m_queue;
};

class AttendViewTest : public KintoneTest {
protected:
    AttendViewTest() { configure(*store, authCode); }

    // The view reads "keepUser" once, as the window is made.
    void open() {
        window = std::make_unique<FormWindow>(new AttendView(store, client, appQueue, alert, &notifications),
                                              "勤務開始", false);
    }
    ZUMContainerView& form() const { return *window->controller()->container(); }
    ZUMComboBox& combo() const { return *form().combobox().value("keepUser"); }

    // Shows the window and waits until the list it loads is in the combo box.
    void showAndLoad() {
        const int before = *appQueue->ran;
        window->present();
        ASSERT_TRUE(processEventsUntil([&] { return *appQueue->ran > before; }));
    }
    QStringList column(const QString& key) const {
        QStringList values;
        for (const QVariantMap& entry : combo().datasource())
            values << entry.value(key).toString();
        return values;
    }
    QStringList items() const {
        QStringList texts;
        for (int i = 0; i < combo().count(); ++i)
            texts << combo().itemText(i);
        return texts;
    }
    // The sample app's lookup employee field, its lookup changed by a JSON merge patch (null removes a member).
    void useLookup(const std::optional<std::string>& type, const Json& lookupPatch = Json::object()) {
        store->setObjectForKey("employeeNo", "fieldUser");
        store->setObjectForKey("氏名", "fieldUserDisplay");
        if (type)
            store->setObjectForKey(*type, "fieldUserType");
        else
            store->removeObjectForKey("fieldUserType");
        Json properties = kintonesim::sampleData()["apps"]["1"]["properties"];
        properties["employeeNo"]["lookup"].merge_patch(lookupPatch);
        sim.setFormFields(1, properties);
    }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<CountingMainQueue> appQueue = std::make_shared<CountingMainQueue>();
    Notifications notifications;
    std::unique_ptr<FormWindow> window;
};

TEST_F(AttendViewTest, UsersSourceListsThePlaceholderThenEveryUserWholeAndInOrder) {
    open();
    for (const int count : {0, 100, 250}) {
        SCOPED_TRACE(count);
        Json users = Json::array();
        QStringList codes{""}, names{placeholder}, ids{""};
        // Codes against the alphabet, so that any sorting by the window would show.
        for (int i = count; i > 0; --i) {
            codes << QString::asprintf("u%03d", i);
            names << QString::asprintf("社員 %03d", i);
            ids << QString::number(i);
            users.push_back({{"id", ids.back().toStdString()},
                             {"code", codes.back().toStdString()},
                             {"name", names.back().toStdString()}});
        }
        sim.setUsers(users);
        showAndLoad();
        EXPECT_EQ(column("code"), codes);
        EXPECT_EQ(items(), names);
        EXPECT_EQ(column("id"), ids);
        window->close();
    }
}

TEST_F(AttendViewTest, LookupSourceReadsTheRelatedRecordsWithTheLookupsConditionAndOrder) {
    struct Case {
        std::optional<std::string> type;
        const char* filterCond;
        const char* sort;
        const char* query;
        bool byId; // the simulator answers "$id asc" in ascending, anything else in descending record order
    };
    const Case cases[] = {
        {"NUMBER", "", "社員番号 asc", " order by 社員番号 asc", false},
        {"user_select", "社員番号 >= 1003", "", "社員番号 >= 1003 order by $id asc", true},
        {"", "", "", " order by $id asc", true},
        {std::nullopt, "氏名 like \"田\"", "社員番号 desc", "氏名 like \"田\" order by 社員番号 desc", false},
    };
    open();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        useLookup(c.type, {{"filterCond", c.filterCond}, {"sort", c.sort}});
        sim.clearRequests();
        showAndLoad();
        const auto cursors = sim.requests("POST", cursorPath);
        ASSERT_EQ(cursors.size(), 1u);
        EXPECT_EQ(Json::parse(cursors[0].body)["app"], "2");
        EXPECT_EQ(Json::parse(cursors[0].body)["query"], c.query);
        EXPECT_TRUE(sim.requests("GET", usersPath).empty());
        QStringList codes{"1001", "1002", "1003", "1004", "1005"};
        QStringList names{"佐藤 花子", "鈴木 一郎", "高橋 健太", "田中 美咲", "渡辺 翔"};
        if (!c.byId) {
            std::reverse(codes.begin(), codes.end());
            std::reverse(names.begin(), names.end());
        }
        EXPECT_EQ(column("code"), QStringList{""} + codes);
        EXPECT_EQ(items(), QStringList{placeholder} + names);
        EXPECT_EQ(combo().datasource().at(1).keys(), QStringList({"code", "name"}));
        window->close();
    }
}

TEST_F(AttendViewTest, PreselectsTheLastEntryWithTheStoredCodeElseThePlaceholder) {
    sim.setUsers(Json::parse(R"([{"id":"1","code":"sato","name":"佐藤"},{"id":"2","code":"dup","name":"先"},
                                 {"id":"3","code":"dup","name":"後"},{"id":"4","code":"suzuki","name":"鈴木"}])"));
    store->setObjectForKey("dup", "keepUser");
    open();
    const std::pair<const char*, int> cases[] = {{"dup", 3}, {"sato", 1}, {"left", 0}, {"suzuki", 4}};
    for (const auto& [code, index] : cases) {
        SCOPED_TRACE(code);
        store->setObjectForKey(code, "keepUser");
        showAndLoad();
        EXPECT_EQ(combo().currentIndex(), index);
        window->close();
    }
}

TEST_F(AttendViewTest, FirstLaunchStoresAnEmptyEmployeeAndSelectsThePlaceholder) {
    ASSERT_EQ(store->objectForKey("keepUser"), std::nullopt);
    open();
    EXPECT_EQ(store->objectForKey("keepUser"), "");
    showAndLoad();
    EXPECT_EQ(combo().count(), 6);
    EXPECT_EQ(combo().currentText(), placeholder);
}

TEST_F(AttendViewTest, OkWantsAnEmployeeThenPostsItsCodeOnceAndCloses) {
    std::vector<QVariantMap> posted;
    bool shownWhilePosting = false;
    QObject::connect(
        &notifications, &Notifications::didStampoAttend, &notifications,
        [&](const QVariantMap& userInfo) {
            posted.push_back(userInfo);
            shownWhilePosting = window->isVisible();
        },
        Qt::DirectConnection);
    open();
    showAndLoad();
    ZUMButton* ok = form().button().value("ok");
    ok->click();
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"従業員を選択して下さい"});
    EXPECT_TRUE(posted.empty());
    EXPECT_TRUE(window->isVisible());

    combo().setCurrentIndex(2);
    ok->click();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], (QVariantMap{{"keepUser", "suzuki"}}));
    EXPECT_TRUE(shownWhilePosting);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(alert->messages().size(), 1u);
}

TEST_F(AttendViewTest, AFailedReloadKeepsTheListAndSelection) {
    const std::pair<std::optional<std::string>, const char*> sources[] = {{"USER_SELECT", usersPath},
                                                                          {"NUMBER", cursorPath}};
    for (const auto& [type, failingPath] : sources) {
        SCOPED_TRACE(failingPath);
        useLookup(type);
        open();
        showAndLoad();
        combo().setCurrentIndex(2);
        const QStringList before = items();
        window->close();

        FaultRule failure;
        failure.path = failingPath;
        failure.fault = {.status = 500, .body = R"({"message":"障害"})"};
        sim.addFault(failure);
        const int shown = *appQueue->ran;
        const std::size_t alerts = alert->messages().size();
        window->present();
        ASSERT_TRUE(alert->waitForCount(alerts + 1));
        const int drained = *appQueue->ran + 1;
        appQueue->async([] {});
        ASSERT_TRUE(processEventsUntil([&] { return *appQueue->ran >= drained; }));
        EXPECT_EQ(*appQueue->ran, shown + 1);
        EXPECT_EQ(items(), before);
        EXPECT_EQ(combo().currentIndex(), 2);
        sim.clearFaults();
    }
}

TEST_F(AttendViewTest, AnUnusableLookupLeavesOnlyThePlaceholder) {
    const std::pair<const char*, Json> cases[] = {
        {"no relatedApp", {{"relatedApp", nullptr}}},
        {"app a number", {{"relatedApp", {{"app", 2}}}}},
        {"key field absent from the records", {{"relatedKeyField", "社員コード"}}},
    };
    open();
    for (const auto& [what, changes] : cases) {
        SCOPED_TRACE(what);
        useLookup("NUMBER");
        showAndLoad();
        ASSERT_EQ(combo().count(), 6);
        window->close();
        useLookup("NUMBER", changes);
        showAndLoad();
        EXPECT_EQ(items(), QStringList{placeholder});
        form().button().value("ok")->click();
        EXPECT_EQ(alert->messages().back(), "従業員を選択して下さい");
        window->close();
    }
}

TEST_F(AttendViewTest, FormIs275WideWithA250WideComboWhateverTheNames) {
    const QFont saved = QApplication::font();
    QFont font = saved;
    font.setPixelSize(13);
    QApplication::setFont(font);
    open();
    QApplication::setFont(saved);
    sim.setUsers(Json::array({{{"code", "long"}, {"name", std::string(40, 'W') + "とても長い名前の従業員"}}}));
    showAndLoad();
    EXPECT_EQ(form().size(), QSize(275, 108)); // 10 + 29.25 + 58.5 + 10
    EXPECT_EQ(window->size(), QSize(275, 108));
    EXPECT_EQ(combo().geometry().x(), 10);
    EXPECT_EQ(combo().width(), 250);
    EXPECT_EQ(form().button().value("ok")->width(), 250);
}

} // namespace

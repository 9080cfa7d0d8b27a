#include "app/QSettingsStore.h"
#include "app/QtMainQueue.h"
#include "attend/AttendView.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/WidgetTesting.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QTemporaryDir>

#include <utility>
#include <vector>

namespace {

using namespace stampo;
using namespace stampo::test;

const QString placeholder = QStringLiteral(" 従業員を選択"); // as entries() shows it

// The employee window, first launched, over the simulator's sample apps: a USER_SELECT employee unless useLookup().
class AttendViewTest : public KintoneTest {
protected:
    AttendViewTest() {
        configure(*store, authCode);
        store->removeObjectForKey("keepUser");
        window = std::make_unique<FormWindow>(new AttendView(store, client, appQueue, alert, &notifications),
                                              "勤務開始", false);
        QObject::connect(
            &notifications, &Notifications::didStampoAttend, &notifications,
            [this](const QVariantMap& userInfo) { posts.push_back(userInfo); }, Qt::DirectConnection);
    }

    ZUMComboBox& combo() const { return *window->controller()->container()->combobox().value("keepUser"); }
    void pressOk() const { window->controller()->container()->button().value("ok")->click(); }

    // Shows the window and waits until the list it loads is in the (emptied) combo box.
    void showAndLoad() {
        combo().clear();
        window->present();
        ASSERT_TRUE(processEventsUntil([&] { return combo().count() > 0; }));
    }
    // "code name" of every entry of the combo box.
    QStringList entries() const {
        QStringList texts;
        for (int i = 0; i < combo().count(); ++i)
            texts << combo().datasource().value(i).value("code").toString() + " " + combo().itemText(i);
        return texts;
    }
    // The sample app's lookup employee field, its lookup changed by a JSON merge patch (null removes a member).
    void useLookup(const std::string& type, const Json& lookupPatch = Json::object()) {
        store->setObjectForKey("employeeNo", "fieldUser");
        store->setObjectForKey("氏名", "fieldUserDisplay");
        store->setObjectForKey(type, "fieldUserType");
        Json properties = kintonesim::sampleData()["apps"]["1"]["properties"];
        properties["employeeNo"]["lookup"].merge_patch(lookupPatch);
        sim.setFormFields(1, properties);
    }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<QtMainQueue> appQueue = std::make_shared<QtMainQueue>();
    Notifications notifications;
    std::unique_ptr<FormWindow> window;
    std::vector<QVariantMap> posts;
};

TEST_F(AttendViewTest, AnyOtherTypeListsTheRelatedRecordsWithTheLookupsConditionAndOrder) {
    for (const char* type : {"NUMBER", "user_select"}) {
        SCOPED_TRACE(type);
        useLookup(type, {{"filterCond", "社員番号 >= 1003"}, {"sort", "社員番号 desc"}});
        sim.clearRequests();
        showAndLoad();
        const auto cursors = sim.requests("POST", cursorPath);
        ASSERT_EQ(cursors.size(), 1u);
        const Json body = Json::parse(cursors[0].body);
        EXPECT_EQ(body["app"], "2");
        EXPECT_EQ(body["query"], "社員番号 >= 1003 order by 社員番号 desc");
        // The simulator filters nothing, and answers any order but "$id asc" in descending record order.
        EXPECT_EQ(entries(), QStringList({placeholder, "1005 渡辺 翔", "1004 田中 美咲", "1003 高橋 健太",
                                          "1002 鈴木 一郎", "1001 佐藤 花子"}));
        window->close();
    }
    useLookup("NUMBER", {{"relatedApp", nullptr}});
    showAndLoad();
    EXPECT_EQ(entries(), QStringList{placeholder}) << "an unusable lookup";
}

TEST_F(AttendViewTest, UsersAreListedOkPostsTheChosenCodeAndTheLastEntryWithTheStoredCodeIsPreselected) {
    Json users = Json::array();
    QStringList expected{placeholder};
    for (int i = 150; i > 0; --i) { // more than a page, the codes against the alphabet
        users.push_back({{"code", "u" + std::to_string(i)}, {"name", "社員 " + std::to_string(i)}});
        expected << QString("u%1 社員 %1").arg(i);
    }
    users.push_back({{"code", "u150"}, {"name", "同じコード"}});
    expected << "u150 同じコード";
    sim.setUsers(users);
    showAndLoad();
    EXPECT_EQ(entries(), expected);
    EXPECT_EQ(combo().currentIndex(), 0);
    pressOk();
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"従業員を選択して下さい"});
    EXPECT_TRUE(window->isVisible());

    combo().setCurrentIndex(2);
    pressOk();
    EXPECT_EQ(posts, (std::vector<QVariantMap>{{{"keepUser", "u149"}}}));
    EXPECT_FALSE(window->isVisible());

    store->setObjectForKey("u150", "keepUser");
    showAndLoad();
    EXPECT_EQ(combo().currentIndex(), 151);
}

TEST_F(AttendViewTest, AFailedReloadKeepsTheListAndSelection) {
    for (const auto& [type, failingPath] : {std::pair("USER_SELECT", usersPath), std::pair("NUMBER", cursorPath)}) {
        SCOPED_TRACE(failingPath);
        useLookup(type);
        showAndLoad();
        combo().setCurrentIndex(2);
        const QStringList before = entries();
        window->close();

        sim.addFault(on("", failingPath, answer(500, R"({"message":"障害"})")));
        const std::size_t alerts = alert->messages().size();
        window->present();
        ASSERT_TRUE(alert->waitForCount(alerts + 1));
        ASSERT_TRUE(waitSettled(workers));
        EXPECT_EQ(entries(), before);
        EXPECT_EQ(combo().currentIndex(), 2);
        sim.clearFaults();
        window->close();
    }
}

} // namespace

#include "attend/AttendView.h"
#include "support/WidgetTesting.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QInputMethodEvent>
#include <QScrollBar>
#include <QTest>

#include <tuple>
#include <vector>

namespace {

using namespace stampo;
using namespace stampo::test;

const QString placeholder = QStringLiteral(" 従業員を選択"); // as entries() shows it

// The employee window, first launched, over the simulator's sample apps: a USER_SELECT employee unless useLookup().
class AttendViewTest : public ViewTest<AttendView> {
protected:
    AttendViewTest()
        : ViewTest("勤務開始") {
        QObject::connect(&notifications, &Notifications::didStampoAttend,
                         [this](const QVariantMap& userInfo) { posts.push_back(userInfo); });
    }

    ZUMComboBox& combo() const { return box("keepUser"); }
    QAbstractItemView& suggestions() const { return *combo().completer()->popup(); }

    // Shows the window afresh and waits until the list it loads is in the combo box, whose entries it has forgotten.
    void showAndLoad() {
        window->close();
        combo().setDatasource({});
        window->present();
        ASSERT_TRUE(processEventsUntil([&] { return !combo().datasource().isEmpty(); }));
    }
    // "code name" of every entry of the combo box.
    QStringList entries() const {
        QStringList texts;
        for (int i = 0; i < combo().count(); ++i)
            texts << combo().datasource().value(i).value("code").toString() + " " + combo().itemText(i);
        return texts;
    }
    // Types `text` into the box as soon as the window has given it the keyboard, replacing the preselected name: key
    // by key where a keyboard has the keys, else (Japanese) committed by an input method.
    void type(const QString& text) {
        ASSERT_TRUE(processEventsUntil([&] { return combo().hasFocus(); }));
        if (QString::fromLatin1(text.toLatin1()) == text) {
            QTest::keyClicks(&combo(), text);
            return;
        }
        ASSERT_TRUE(combo().inputMethodQuery(Qt::ImEnabled).toBool());
        QInputMethodEvent committed;
        committed.setCommitString(text);
        QApplication::sendEvent(&combo(), &committed);
    }
    // The names the open suggestion list offers.
    QStringList offered() const {
        QStringList names;
        for (int row = 0; suggestions().isVisible() && row < suggestions().model()->rowCount(); ++row)
            names << suggestions().model()->index(row, 0).data().toString();
        return names;
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

    std::vector<QVariantMap> posts;
};

TEST_F(AttendViewTest, ALookupListsTheRelatedRecordsWithItsConditionAndOrderAndAFailedReloadKeepsListAndSelection) {
    useLookup("NUMBER", {{"filterCond", "社員番号 >= 1003"}, {"sort", "社員番号 desc"}});
    showAndLoad();
    EXPECT_EQ(Json::parse(sim.requests("POST", cursorPath).at(0).body)["query"],
              "社員番号 >= 1003 order by 社員番号 desc");
    // The simulator filters nothing, and answers any order but "$id asc" in descending record order.
    EXPECT_EQ(entries(), QStringList({placeholder, "1005 渡辺 翔", "1004 田中 美咲", "1003 高橋 健太", "1002 鈴木 一郎",
                                      "1001 佐藤 花子"}));
    useLookup("NUMBER", {{"relatedApp", nullptr}});
    showAndLoad();
    EXPECT_EQ(entries(), QStringList{placeholder}) << "an unusable lookup";

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
        ASSERT_TRUE(alert->waitForCount(alerts + 1) && waitSettled(workers));
        EXPECT_EQ(entries(), before);
        EXPECT_EQ(combo().currentIndex(), 2);
        sim.clearFaults();
    }
}

TEST_F(AttendViewTest, EitherListOfManyShowsFifteenWholeRowsAndTypedPartsOfNamesOrCodesNarrowItToAPickedEntry) {
    Json users = Json::parse(R"([{"code": "sato", "name": "佐藤 花子"}, {"code": "suzuki", "name": "鈴木 一郎"},
        {"code": "SUZ-2", "name": "鈴木 次郎"}, {"code": "tanaka1", "name": "田中 太郎"},
        {"code": "tanaka2", "name": "田中 太郎"}, {"code": "yamada", "name": "Yamada Suzu"}])");
    for (int i = 1; i <= 20; ++i)
        users.push_back({{"code", "u" + std::to_string(i)}, {"name", "社員 " + std::to_string(i)}});
    sim.setUsers(users);
    store->setObjectForKey("suzuki", "keepUser");
    showAndLoad();
    const auto rowsShown = [](const QAbstractItemView& list) {
        int rows = 0;
        while (rows < list.model()->rowCount() &&
               list.viewport()->rect().contains(list.visualRect(list.model()->index(rows, 0))))
            ++rows;
        return list.verticalScrollBar()->isVisible() ? rows : -1;
    };
    type("社員");
    ASSERT_TRUE(processEventsUntil([&] { return suggestions().isVisible(); }));
    EXPECT_EQ(offered().size(), 20);
    EXPECT_EQ(rowsShown(suggestions()), 15);
    suggestions().hide();
    combo().showPopup();
    ASSERT_TRUE(processEventsUntil([&] { return combo().view()->isVisible(); }));
    EXPECT_EQ(rowsShown(*combo().view()), 15);
    combo().hidePopup();

    // Per case: the text typed, the names offered, the one picked with the arrow keys (none when negative) and the code
    // posted (none when null).
    const std::tuple<const char*, QStringList, int, const char*> cases[] = {
        {"鈴木", {"鈴木 一郎", "鈴木 次郎"}, 1, "SUZ-2"},
        {"suz", {"鈴木 一郎", "鈴木 次郎", "Yamada Suzu"}, 2, "yamada"},
        {"田中", {"田中 太郎", "田中 太郎"}, 1, "tanaka2"}, // the same name, another code
        {"KA1", {"田中 太郎"}, 0, "tanaka1"},
        {"鈴木", {"鈴木 一郎", "鈴木 次郎"}, -1, nullptr}, // the stored employee's, not picked
        {"従業員", {"従業員を選択"}, 0, nullptr},          // the placeholder picked
        {"該当なし", {}, -1, nullptr},
    };
    std::vector<QVariantMap> expectedPosts;
    std::vector<std::string> expectedAlerts;
    for (const auto& [typed, names, picked, posted] : cases) {
        SCOPED_TRACE(typed);
        showAndLoad();
        ASSERT_EQ(combo().currentIndex(), 2) << "the stored employee";
        type(typed);
        EXPECT_EQ(offered(), names);
        for (int down = 0; down <= picked; ++down)
            QTest::keyClick(&suggestions(), Qt::Key_Down);
        QTest::keyClick(&suggestions(), picked < 0 ? Qt::Key_Escape : Qt::Key_Return);
        // Enter in the box leaves the items as they are and goes on to the window's "ok".
        QTest::keyClick(&combo(), Qt::Key_Return);
        EXPECT_EQ(combo().count(), 27);
        EXPECT_EQ(window->isVisible(), !posted);
        if (posted)
            expectedPosts.push_back({{"keepUser", posted}});
        else
            expectedAlerts.push_back("従業員を選択して下さい");
        EXPECT_EQ(posts, expectedPosts);
        EXPECT_EQ(alert->messages(), expectedAlerts);
    }
}

} // namespace

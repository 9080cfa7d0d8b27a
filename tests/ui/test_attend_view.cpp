#include "QSettingsStore.h"
#include "QtMainQueue.h"
#include "attend/AttendView.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/WidgetTesting.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QApplication>
#include <QCompleter>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTemporaryDir>

#include <iterator>
#include <utility>
#include <vector>

namespace {

using namespace stampo;
using namespace stampo::test;

const QString placeholder = QStringLiteral(" 従業員を選択"); // as entries() shows it

// Counts the presses of `key` that reach `target`, for its lifetime.
class KeyWatch final : public QObject {
public:
    KeyWatch(QObject& target, int key, int& count)
        : m_key(key)
        , m_count(count) {
        target.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == m_key)
            ++m_count;
        return false;
    }

private:
    const int m_key;
    int& m_count;
};

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
    // Gives the employee box the keyboard focus and replaces its text with `text`, typed key by key or committed by
    // an input method.
    void type(const QString& text, bool inputMethod) {
        combo().setFocus();
        ASSERT_TRUE(processEventsUntil([&] { return combo().hasFocus(); }));
        combo().completer()->popup()->hide();
        combo().clearEditText();
        if (inputMethod) {
            ASSERT_TRUE(combo().inputMethodQuery(Qt::ImEnabled).toBool());
            QInputMethodEvent committed;
            committed.setCommitString(text);
            QApplication::sendEvent(&combo(), &committed);
            return;
        }
        for (const QChar character : text) {
            QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, character);
            QApplication::sendEvent(&combo(), &key);
        }
    }
    QAbstractItemView& suggestions() const { return *combo().completer()->popup(); }
    // "code name" of every entry the open suggestion list offers.
    QStringList offered() const {
        QStringList texts;
        const auto* matches = qobject_cast<const QAbstractProxyModel*>(suggestions().model());
        for (int row = 0; suggestions().isVisible() && row < matches->rowCount(); ++row) {
            const QModelIndex match = matches->index(row, 0);
            const QVariantMap entry = combo().datasource().value(matches->mapToSource(match).row());
            texts << entry.value("code").toString() + " " + match.data().toString();
        }
        return texts;
    }
    // Picks the suggestion at `row` as a user does, with the arrow keys and Enter.
    void pick(int row) const {
        for (int step = 0; step <= row; ++step) {
            QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
            QApplication::sendEvent(&suggestions(), &down);
        }
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(&suggestions(), &enter);
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
    EXPECT_EQ(window->focusWidget(), &combo()) << "the keyboard goes to the employee box";
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

TEST_F(AttendViewTest, TypedPartsOfNamesOrCodesNarrowTheListAndOkPostsTheCodeOfTheEntryPicked) {
    sim.setUsers({{{"code", "sato"}, {"name", "佐藤 花子"}},
                  {{"code", "suzuki"}, {"name", "鈴木 一郎"}},
                  {{"code", "SUZ-2"}, {"name", "鈴木 次郎"}},
                  {{"code", "tanaka1"}, {"name", "田中 太郎"}},
                  {{"code", "tanaka2"}, {"name", "田中 太郎"}},
                  {{"code", "yamada"}, {"name", "Yamada Suzu"}}});
    struct Case {
        const char* typed;
        bool inputMethod;
        QStringList offered;
        int picked;
        const char* posted;
    };
    const Case cases[] = {
        {"鈴木", true, {"suzuki 鈴木 一郎", "SUZ-2 鈴木 次郎"}, 1, "SUZ-2"},
        {"suz", false, {"suzuki 鈴木 一郎", "SUZ-2 鈴木 次郎", "yamada Yamada Suzu"}, 2, "yamada"},
        {"田中", true, {"tanaka1 田中 太郎", "tanaka2 田中 太郎"}, 1, "tanaka2"}, // the same name, another code
        {"KA1", false, {"tanaka1 田中 太郎"}, 0, "tanaka1"},
    };
    // Typing at once, into the box the window gave the keyboard, replaces the preselected name.
    showAndLoad();
    ASSERT_TRUE(processEventsUntil([&] { return combo().hasFocus(); }));
    QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, "鈴");
    QApplication::sendEvent(&combo(), &key);
    EXPECT_EQ(combo().currentText(), "鈴");
    window->close();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        showAndLoad();
        type(c.typed, c.inputMethod);
        EXPECT_EQ(offered(), c.offered);
        pick(c.picked);
        EXPECT_FALSE(suggestions().isVisible());
        pressOk();
        ASSERT_FALSE(posts.empty());
        EXPECT_EQ(posts.back(), (QVariantMap{{"keepUser", c.posted}}));
        EXPECT_FALSE(window->isVisible());
    }
    EXPECT_EQ(posts.size(), std::size(cases));
    EXPECT_TRUE(alert->messages().empty());
}

TEST_F(AttendViewTest, ATypedTextNamingNoEntryIsAlertedNotPostedAndEnterAddsNoItem) {
    sim.setUsers({{{"code", "sato"}, {"name", "佐藤 花子"}}, {{"code", "suzuki"}, {"name", "鈴木 一郎"}}});
    store->setObjectForKey("suzuki", "keepUser");
    // Nothing matches; the placeholder's name; part of a name, never picked.
    for (const char* typed : {"該当なし", "従業員を選択", "鈴木"}) {
        SCOPED_TRACE(typed);
        showAndLoad();
        ASSERT_EQ(combo().currentIndex(), 2) << "the stored employee";
        const std::size_t alerts = alert->messages().size();
        type(typed, true);
        pressOk();
        ASSERT_EQ(alert->messages().size(), alerts + 1);
        EXPECT_EQ(alert->messages().back(), "従業員を選択して下さい");
        EXPECT_TRUE(posts.empty());
        EXPECT_TRUE(window->isVisible());
        window->close();
    }

    // Enter in the box, with no suggestion open, leaves the items as they are and goes on to the window.
    showAndLoad();
    type("新しい人", false);
    ASSERT_FALSE(suggestions().isVisible());
    int entersReachingWindow = 0;
    KeyWatch watch(*window, Qt::Key_Return, entersReachingWindow);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&combo(), &enter);
    EXPECT_EQ(entersReachingWindow, 1);
    EXPECT_EQ(combo().count(), 3);
    EXPECT_EQ(combo().currentText(), "新しい人");
}

TEST_F(AttendViewTest, ThousandsOfEmployeesAreListedFifteenRowsAtATimeWithAScrollBar) {
    Json users = Json::array();
    for (int i = 1; i <= 2000; ++i)
        users.push_back({{"code", "u" + std::to_string(i)}, {"name", "社員 " + std::to_string(i)}});
    sim.setUsers(users);
    showAndLoad();
    ASSERT_EQ(combo().count(), 2001);
    // Rows of `list` wholly in view, from its top.
    const auto rowsShown = [](const QAbstractItemView& list) {
        int rows = 0;
        while (rows < list.model()->rowCount() &&
               list.viewport()->rect().contains(list.visualRect(list.model()->index(rows, 0))))
            ++rows;
        return rows;
    };

    combo().showPopup();
    ASSERT_TRUE(processEventsUntil([&] { return combo().view()->isVisible(); }));
    EXPECT_EQ(rowsShown(*combo().view()), 15);
    EXPECT_TRUE(combo().view()->verticalScrollBar()->isVisible());
    combo().hidePopup();

    type("社員", true);
    ASSERT_TRUE(processEventsUntil([&] { return suggestions().isVisible(); }));
    EXPECT_EQ(suggestions().model()->rowCount(), 2000);
    EXPECT_EQ(rowsShown(suggestions()), 15);
    EXPECT_TRUE(suggestions().verticalScrollBar()->isVisible());
}

} // namespace

#include "app/QSettingsStore.h"
#include "app/QtMainQueue.h"
#include "settings/SettingView.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/WidgetTesting.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTemporaryDir>

#include <algorithm>
#include <map>

using namespace stampo;
using namespace stampo::test;

namespace {

const char* const allBoxes[] = {"topLevelDomain", "fieldIn", "fieldOut", "fieldUser", "fieldUserDisplay"};

class SettingViewTest : public KintoneTest {
protected:
    void SetUp() override {
        configure(*store, authCode);
        window = std::make_unique<FormWindow>(new SettingView(store, client, appQueue, alert, &notifications),
                                              "Kintone設定", false);
        QObject::connect(&notifications, &Notifications::didStampoSetting, &notifications, [this] { ++posts; });
    }

    SettingView& view() const { return *static_cast<SettingView*>(window->controller()); }
    ZUMContainerView& form() const { return *view().container(); }
    ZUMComboBox& box(const char* name) const { return *form().combobox().value(name); }
    void type(const char* name, const char* text) const { form().input().value(name)->setText(text); }
    void press(const char* name) const { form().button().value(name)->click(); }
    bool namesShown() const {
        const bool caption = !form().caption().value("fieldUserDisplayCaption")->isHidden();
        EXPECT_EQ(caption, !box("fieldUserDisplay").isHidden()) << "name box and its caption differ";
        return caption;
    }
    QStringList codes(const char* name) const {
        QStringList values;
        for (const QVariantMap& entry : box(name).datasource())
            values << entry.value("code").toString();
        return values;
    }
    // What "OK" writes, as "key=value; ...".
    std::string stored() const {
        std::string text;
        for (const char* key : {"subDomain", "topLevelDomain", "authCode", "appID", "fieldIn", "fieldInType",
                                "fieldOut", "fieldOutType", "fieldUser", "fieldUserType", "fieldUserDisplay"})
            text += std::string(text.empty() ? "" : "; ") + key + "=" + store->stringForKey(key).value_or("<none>");
        return text;
    }
    void showAndLoad() {
        window->present();
        ASSERT_TRUE(processEventsUntil([&] { return !view().loading(); }));
    }
    // Picks the entry with `code` as a user does, with the arrow keys.
    void choose(const char* name, const QString& code) {
        const int index = static_cast<int>(codes(name).lastIndexOf(code));
        ZUMComboBox& combo = box(name);
        for (int step = 0; step < 50 && index >= 0 && combo.currentIndex() != index; ++step) {
            QKeyEvent key(QEvent::KeyPress, combo.currentIndex() < index ? Qt::Key_Down : Qt::Key_Up, Qt::NoModifier);
            QApplication::sendEvent(&combo, &key);
        }
        ASSERT_EQ(combo.currentIndex(), index) << code.toStdString();
    }
    long fieldRequests(const std::string& app) const {
        const auto all = sim.requests("GET", fieldsPath);
        return std::count_if(all.begin(), all.end(),
                             [&](const auto& request) { return request.query == "app=" + app; });
    }
    static Json sample(int app) { return kintonesim::sampleData()["apps"][std::to_string(app)]["properties"]; }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<QtMainQueue> appQueue = std::make_shared<QtMainQueue>();
    Notifications notifications;
    std::unique_ptr<FormWindow> window;
    int posts = 0;
};

TEST_F(SettingViewTest, BuildsSevenRowsWithTheAddressRowReadingAsAnAddress) {
    // Each row's controls from the left: name@x, then "+width" or, for a caption fitted to its text, "~text";
    // buttons add "=title".
    const QStringList expected = {
        "subDomainCaption@10~サブドメイン subDomainHost@130~https:// subDomain@185+150 subDomainDomain@340~.cybozu "
        "topLevelDomain@400+75",
        "authCodeCaption@10~認証コード authCode@130+275 authorization@410+120=認証コード生成",
        "appIDCaption@10~アプリID appID@130+150 fieldinfo@285+120=フィールド取得 proxy@410+120=プロキシサーバー",
        "fieldInCaption@10~出勤日時フィールド fieldIn@130+150",
        "fieldOutCaption@10~退勤日時フィールド fieldOut@130+150",
        "fieldUserCaption@10~従業員フィールド fieldUser@130+150 fieldUserDisplayCaption@285~従業員名フィールド "
        "fieldUserDisplay@410+150",
        "ok@10+120=OK cancel@135+120=Cancel"};
    QStringList rows;
    for (const QWidget* row : form().findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QStringList controls;
        int rightEdge = 0;
        for (const QWidget* control : row->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const auto* caption = qobject_cast<const QLabel*>(control);
            const auto* button = qobject_cast<const QPushButton*>(control);
            controls << control->objectName() + "@" + QString::number(control->x()) +
                            (caption ? "~" + caption->text() : "+" + QString::number(control->width())) +
                            (button ? "=" + button->text() : "") + (control->x() < rightEdge ? " OVERLAPS" : "");
            rightEdge = control->x() + (caption ? caption->sizeHint().width() : control->width());
        }
        rows << controls.join(' ') + (rightEdge > 575 ? " BEYOND THE FORM" : "");
        EXPECT_EQ(row->y(), qRound(10 + (rows.size() - 1) * 29.25)) << rows.size();
    }
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(window->size(), QSize(575, 225)); // 20 + 7 x 29.25, rounded once
    EXPECT_EQ(box("topLevelDomain").itemText(0) + box("topLevelDomain").itemText(1), ".com/.cn/");
    EXPECT_EQ(codes("topLevelDomain"), QStringList({"com", "cn"}));
    EXPECT_EQ(box("topLevelDomain").currentIndex(), 0);
}

TEST_F(SettingViewTest, OkChecksInOrderThenSavesEachKindOfEmployeeAndPostsOncePerSave) {
    for (const char* key : {"subDomain", "authCode", "appID"})
        store->setObjectForKey("", key);
    window->present();
    const std::string before = stored();
    const std::pair<std::function<void()>, const char*> steps[] = {
        {[] {}, "サブドメインを入力して下さい"},
        {[&] { type("subDomain", "example"); }, "認証コードを入力して下さい"},
        {[&] { type("authCode", authCode); }, "アプリIDを入力して下さい"},
        {[&] {
             type("appID", "1");
             press("fieldinfo");
             ASSERT_TRUE(processEventsUntil([&] { return box("fieldIn").count() > 0; }));
         },
         "出勤日時フィールドを選択して下さい"},
        {[&] { choose("fieldIn", "start"); }, "退勤日時フィールドを選択して下さい"},
        {[&] { choose("fieldOut", "end"); }, "従業員フィールドを選択して下さい"},
        {[&] {
             choose("fieldUser", "employeeNo");
             ASSERT_TRUE(processEventsUntil([&] { return namesShown(); }));
         },
         "従業員名フィールドを選択して下さい"}};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& [act, message] = steps[i];
        SCOPED_TRACE(message);
        act();
        const std::size_t shown = alert->messages().size();
        press("ok");
        if (i < 3) // the retrieval needs the same three inputs
            press("fieldinfo");
        const std::vector<std::string> all = alert->messages();
        EXPECT_EQ(std::vector<std::string>(all.begin() + shown, all.end()),
                  std::vector<std::string>(i < 3 ? 2 : 1, message));
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(stored(), before);
    }
    EXPECT_EQ(fieldRequests("1"), 1) << "a retrieval without connection was sent";
    choose("fieldUserDisplay", "氏名");
    press("ok");
    EXPECT_EQ(stored(), "subDomain=example; topLevelDomain=com; authCode=dXNlcjpwYXNzd29yZA==; appID=1; fieldIn=start; "
                        "fieldInType=DATETIME; fieldOut=end; fieldOutType=DATETIME; fieldUser=employeeNo; "
                        "fieldUserType=NUMBER; fieldUserDisplay=氏名");
    EXPECT_EQ(posts, 1);
    EXPECT_FALSE(window->isVisible());

    showAndLoad();
    choose("fieldUser", "employee");
    ASSERT_TRUE(processEventsUntil([&] { return !namesShown(); }));
    type("subDomain", "  ");
    press("ok");
    EXPECT_EQ(stored(), "subDomain=  ; topLevelDomain=com; authCode=dXNlcjpwYXNzd29yZA==; appID=1; fieldIn=start; "
                        "fieldInType=DATETIME; fieldOut=end; fieldOutType=DATETIME; fieldUser=employee; "
                        "fieldUserType=USER_SELECT; fieldUserDisplay=");
    EXPECT_EQ(alert->messages().size(), 10u);
    EXPECT_EQ(posts, 2);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(SettingViewTest, ShowingFetchesFromTheStoredRegionAndSelectsTheLastEntryWithEachStoredCode) {
    struct Case {
        bool lookup; // else the user selection
        void (*change)(Json& app1, Json& app2);
        QStringList selected; // per box of allBoxes, "" for none; the first is also the stored region
        const char* okMessage = nullptr;
    };
    // The first case is the first showing: its region must be selected before the first request.
    const Case cases[] = {
        {false, [](Json& app1, Json&) { app1["start2"] = app1["start"]; }, {"cn", "start", "end", "employee", ""}},
        {true, [](Json&, Json&) {}, {"com", "start", "end", "employeeNo", "氏名"}},
        {false,
         [](Json& app1, Json&) { app1.erase("end"); },
         {"com", "start", "", "employee", ""},
         "退勤日時フィールドを選択して下さい"},
        {true,
         [](Json&, Json& app2) { app2["氏名"]["lookup"] = nullptr; },
         {"com", "start", "end", "employeeNo", ""},
         "従業員名フィールドを選択して下さい"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selected.join(' ').toStdString());
        configure(*store, authCode);
        store->setObjectForKey(c.selected[0].toStdString(), "topLevelDomain");
        if (c.lookup) {
            store->setObjectForKey("employeeNo", "fieldUser");
            store->setObjectForKey("氏名", "fieldUserDisplay");
        }
        Json app1 = sample(1), app2 = sample(2);
        c.change(app1, app2);
        sim.setFormFields(1, app1);
        sim.setFormFields(2, app2);
        sim.clearRequests();
        showAndLoad();
        EXPECT_EQ(sim.requests("GET", fieldsPath).at(0).header("Host"),
                  "example.cybozu." + c.selected[0].toStdString());
        QStringList selected;
        for (const char* name : allBoxes) {
            selected << box(name).selectedValue("code");
            EXPECT_EQ(box(name).currentIndex(), codes(name).lastIndexOf(selected.back())) << name;
        }
        EXPECT_EQ(selected, c.selected);
        EXPECT_EQ(namesShown(), c.lookup);
        if (c.okMessage) {
            press("ok");
            EXPECT_EQ(alert->messages().back(), c.okMessage);
        }
        window->close();
    }
}

TEST_F(SettingViewTest, RetrievalButtonSelectsNothingAndEmployeeChoiceOffersNamesExceptWhileLoading) {
    showAndLoad();
    window->close();
    window->present();
    ASSERT_TRUE(view().loading());
    choose("fieldUser", "employeeNo");
    ASSERT_TRUE(processEventsUntil([&] { return !view().loading(); }));
    EXPECT_EQ(fieldRequests("2"), 0) << "the choice while loading was not ignored";

    Json app1 = sample(1);
    app1["extra"] = app1["start"];
    app1["extra"]["code"] = "extra";
    sim.setFormFields(1, app1);
    press("fieldinfo");
    ASSERT_TRUE(processEventsUntil([&] { return codes("fieldIn").contains("extra"); }));
    for (const char* name : {"fieldIn", "fieldOut", "fieldUser"})
        EXPECT_EQ(box(name).currentIndex(), -1) << name;
    EXPECT_FALSE(namesShown());

    choose("fieldUser", "employeeNo");
    ASSERT_TRUE(processEventsUntil([&] { return namesShown(); }));
    EXPECT_EQ(codes("fieldUserDisplay"), QStringList({"氏名"}));
    EXPECT_EQ(box("fieldUserDisplay").currentIndex(), -1);
    choose("fieldUser", "employee");
    ASSERT_TRUE(processEventsUntil([&] { return !namesShown(); }));
    EXPECT_EQ(box("fieldUserDisplay").count(), 0);
}

TEST_F(SettingViewTest, FailingNameSourceLeavesEveryBoxAsItWas) {
    const auto boxes = [&] {
        QStringList state; // every box's entries and selection
        for (const char* name : allBoxes)
            state << codes(name).join(',') + "@" + QString::number(box(name).currentIndex());
        return state;
    };
    showAndLoad();
    const QStringList before = boxes();
    window->close();
    store->setObjectForKey("employeeNo", "fieldUser");
    Json app1 = sample(1);
    app1.erase("end");
    sim.setFormFields(1, app1);
    kintonesim::FaultRule failure;
    failure.path = fieldsPath;
    failure.queryContains = "app=2";
    failure.fault = {.status = 500, .body = R"({"message":"障害"})"};
    sim.addFault(failure);
    window->present();
    ASSERT_TRUE(alert->waitForCount(1));
    bool drained = false; // everything queued before this has run once it has
    appQueue->async([&] { drained = true; });
    ASSERT_TRUE(processEventsUntil([&] { return drained; }));
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"障害"});
    EXPECT_EQ(boxes(), before);
    EXPECT_FALSE(namesShown());
    EXPECT_TRUE(view().loading());
}

TEST_F(SettingViewTest, PostedCodeAndCancelStoreNothingAndTheNextShowingReloads) {
    showAndLoad();
    const std::string before = stored();
    // Only a text under "authCode" counts; a post without user info changes nothing.
    for (const QVariantMap& userInfo : {QVariantMap{{"authCode", " x"}}, {}, {{"authCode", 5}}, {{"code", "y"}}}) {
        emit notifications.didStampoAuthorization(userInfo);
        EXPECT_EQ(form().input().value("authCode")->text(), " x");
    }
    type("subDomain", "other");
    choose("topLevelDomain", "cn");
    press("cancel");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(stored(), before);
    showAndLoad();
    EXPECT_EQ(form().input().value("subDomain")->text(), "example");
    EXPECT_EQ(form().input().value("authCode")->text(), authCode);
    EXPECT_EQ(box("topLevelDomain").currentText(), ".com/");
    EXPECT_EQ(posts, 0);
}

TEST_F(SettingViewTest, AuthAndProxyButtonsOpenAnotherWindowAtEachPress) {
    showAndLoad();
    for (const auto& [name, title] :
         {std::pair{"authorization", "認証コード生成"}, {"proxy", "プロキシサーバー設定"}}) {
        for (long pressed = 1; pressed <= 2; ++pressed) {
            press(name);
            const QWidgetList all = QApplication::topLevelWidgets();
            EXPECT_EQ(std::count_if(all.begin(), all.end(),
                                    [&](QWidget* w) { return w->isVisible() && w->windowTitle() == title; }),
                      pressed)
                << name;
        }
    }
    for (QWidget* other : QApplication::topLevelWidgets())
        if (other != window.get())
            other->close();
}

} // namespace

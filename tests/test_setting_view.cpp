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

#include <tuple>
#include <vector>

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
        // Rows at fractional offsets meet on whole pixels.
        const int top = qRound(10 + (rows.size() - 1) * 29.25);
        EXPECT_EQ(row->geometry(), QRect(0, top, 575, qRound(10 + rows.size() * 29.25) - top)) << rows.size();
    }
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(window->size(), QSize(575, 225)); // 20 + 7 x 29.25, rounded once
    EXPECT_EQ(box("topLevelDomain").currentText() + box("topLevelDomain").itemText(1), ".com/.cn/");
    EXPECT_EQ(codes("topLevelDomain"), QStringList({"com", "cn"}));
}

TEST_F(SettingViewTest, OkChecksInOrderThenSavesEachKindOfEmployeeAndPostsOncePerSave) {
    for (const char* key : {"subDomain", "authCode", "appID"})
        store->setObjectForKey("", key);
    window->present();
    const std::string before = stored();
    std::vector<std::string> alerts;
    // "OK", and the retrieval too while it lacks a connection input, alert `message` and change nothing.
    const auto refused = [&](const char* message, bool retrievalToo) {
        press("ok");
        if (retrievalToo)
            press("fieldinfo");
        alerts.insert(alerts.end(), retrievalToo ? 2 : 1, message);
        EXPECT_EQ(alert->messages(), alerts);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(stored(), before);
    };
    refused("サブドメインを入力して下さい", true);
    type("subDomain", "example");
    refused("認証コードを入力して下さい", true);
    type("authCode", authCode);
    refused("アプリIDを入力して下さい", true);
    type("appID", "1");
    press("fieldinfo");
    ASSERT_TRUE(processEventsUntil([&] { return box("fieldIn").count() > 0; }));
    EXPECT_EQ(sim.requests("GET", fieldsPath).size(), 1u) << "a retrieval without connection was sent";
    refused("出勤日時フィールドを選択して下さい", false);
    choose("fieldIn", "start");
    refused("退勤日時フィールドを選択して下さい", false);
    choose("fieldOut", "end");
    refused("従業員フィールドを選択して下さい", false);
    choose("fieldUser", "employeeNo");
    ASSERT_TRUE(processEventsUntil([&] { return namesShown(); }));
    refused("従業員名フィールドを選択して下さい", false);
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
    EXPECT_EQ(alert->messages(), alerts);
    EXPECT_EQ(posts, 2);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(SettingViewTest, ShowingFetchesFromTheStoredRegionAndSelectsTheLastEntryWithEachStoredCode) {
    // Per case: a lookup employee (else the user selection), the field missing from app 1, and the selection of each
    // box of allBoxes, the first also the stored region. The first case is the first showing: its region must be
    // selected before the first request.
    const std::tuple<bool, const char*, QStringList> cases[] = {
        {false, "", {"cn", "start", "end", "employee", ""}}, {true, "end", {"com", "start", "", "employeeNo", "氏名"}}};
    for (const auto& [lookup, missing, expected] : cases) {
        SCOPED_TRACE(expected.join(' ').toStdString());
        window->close();
        store->setObjectForKey(expected[0].toStdString(), "topLevelDomain");
        if (lookup) {
            store->setObjectForKey("employeeNo", "fieldUser");
            store->setObjectForKey("氏名", "fieldUserDisplay");
        }
        Json app1 = sample(1);
        app1["start2"] = app1["start"]; // a second entry with the code "start"
        app1.erase(missing);
        sim.setFormFields(1, app1);
        sim.clearRequests();
        showAndLoad();
        EXPECT_EQ(sim.requests("GET", fieldsPath).at(0).header("Host"), "example.cybozu." + expected[0].toStdString());
        QStringList selected;
        for (const char* name : allBoxes) {
            selected << box(name).selectedValue("code");
            EXPECT_EQ(box(name).currentIndex(), codes(name).lastIndexOf(selected.back())) << name;
        }
        EXPECT_EQ(selected, expected);
        EXPECT_EQ(namesShown(), lookup);
    }
    press("ok");
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"退勤日時フィールドを選択して下さい"});
}

TEST_F(SettingViewTest, FailingNameSourceLeavesTheBoxesAsTheyWere) {
    showAndLoad();
    window->close();
    store->setObjectForKey("employeeNo", "fieldUser");
    Json app1 = sample(1);
    app1.erase("end");
    sim.setFormFields(1, app1);
    sim.addFault(on("GET", fieldsPath, answer(500, R"({"message":"障害"})"), "app=2"));
    window->present();
    ASSERT_TRUE(alert->waitForCount(1));
    bool drained = false; // everything queued before this has run once it has
    appQueue->async([&] { drained = true; });
    ASSERT_TRUE(processEventsUntil([&] { return drained; }));
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"障害"});
    EXPECT_EQ(box("fieldOut").selectedValue("code"), "end");
    EXPECT_EQ(box("fieldUser").selectedValue("code"), "employee");
    EXPECT_FALSE(namesShown());
    EXPECT_TRUE(view().loading());
}

TEST_F(SettingViewTest, PostedCodeAndCancelStoreNothingAndTheNextShowingReloadsIgnoringEmployeeChoicesMeanwhile) {
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
    window->present();
    ASSERT_TRUE(view().loading());
    choose("fieldUser", "employeeNo");
    // Once every request has ended, a fetch the choice started would have been answered too.
    ASSERT_TRUE(processEventsUntil([&] { return !view().loading(); }) && workers.waitIdle(deadline));
    for (const auto& request : sim.requests("GET", fieldsPath))
        EXPECT_EQ(request.query, "app=1") << "names were fetched while loading";
    EXPECT_EQ(form().input().value("subDomain")->text(), "example");
    EXPECT_EQ(form().input().value("authCode")->text(), authCode);
    EXPECT_EQ(box("topLevelDomain").currentText(), ".com/");
    EXPECT_EQ(posts, 0);
}

TEST_F(SettingViewTest, AuthAndProxyButtonsOpenAnotherWindowAtEachPress) {
    showAndLoad();
    for (const char* name : {"authorization", "proxy", "authorization", "proxy"})
        press(name);
    QStringList titles;
    for (QWidget* other : QApplication::topLevelWidgets()) {
        if (other->isVisible() && other != window.get()) {
            titles << other->windowTitle();
            other->close();
        }
    }
    titles.sort();
    EXPECT_EQ(titles,
              QStringList({"プロキシサーバー設定", "プロキシサーバー設定", "認証コード生成", "認証コード生成"}));
}

} // namespace

#include "settings/SettingView.h"
#include "support/WidgetTesting.h"

#include <QPointer>
#include <QTest>
#include <QWindow>

#include <tuple>
#include <vector>

using namespace stampo;
using namespace stampo::test;

namespace {

class SettingViewTest : public ViewTest<SettingView> {
protected:
    SettingViewTest()
        : ViewTest("Kintone設定") {
        QObject::connect(&notifications, &Notifications::didStampoSetting, [this] { ++posts; });
    }

    SettingView& view() const { return *static_cast<SettingView*>(window->controller()); }
    QLineEdit& input(const char* name) const { return *form().input().value(name); }
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
        window->close();
        window->present();
        ASSERT_TRUE(processEventsUntil([&] { return !view().loading(); }));
    }
    // Picks the entry with `code` as a user does, with the arrow keys.
    void choose(const char* name, const QString& code) {
        const int index = static_cast<int>(codes(name).lastIndexOf(code));
        ZUMComboBox& combo = box(name);
        for (int step = 0; step < 50 && index >= 0 && combo.currentIndex() != index; ++step)
            QTest::keyClick(&combo, combo.currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
        ASSERT_EQ(combo.currentIndex(), index) << code.toStdString();
    }
    // The form of the window titled `title` that the settings window opened: above it (X11 marks only dialogs as
    // transient), with the keyboard in `firstInput`, and no control past its edges.
    ZUMContainerView& opened(const QString& title, const char* firstInput) const {
        for (QWidget* other : QApplication::topLevelWidgets()) {
            if (!other->isVisible() || other->windowTitle() != title)
                continue;
            ZUMContainerView& opened = *static_cast<FormWindow*>(other)->controller()->container();
            EXPECT_EQ(other->windowType(), Qt::Dialog);
            EXPECT_EQ(other->windowHandle()->transientParent(), window->windowHandle());
            EXPECT_EQ(other->focusWidget(), opened.findChild<QWidget*>(firstInput)) << firstInput;
            expectControlsInside(opened);
            return opened;
        }
        throw std::runtime_error("no window " + title.toStdString());
    }
    int posts = 0;
};

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
    input("subDomain").setText("example");
    refused("認証コードを入力して下さい", true);
    input("authCode").setText(authCode);
    refused("アプリIDを入力して下さい", true);
    input("appID").setText("1");
    // Only a host label makes kintone's address, and it is checked before the fields; blanks are not trimmed away.
    for (const char* subdomain : {"  ", "evil.example/#", " example", "ｅｘａｍｐｌｅ"}) {
        input("subDomain").setText(subdomain);
        refused("サブドメインが正しくありません", false);
    }
    input("subDomain").setText("Example-2");
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
    // Choosing the same employee field again keeps the name chosen for it.
    emit box("fieldUser").activated(box("fieldUser").currentIndex());
    ASSERT_TRUE(waitSettled(workers));
    EXPECT_EQ(box("fieldUserDisplay").selectedValue("code"), "氏名");
    press("ok");
    EXPECT_EQ(stored(),
              "subDomain=Example-2; topLevelDomain=com; authCode=dXNlcjpwYXNzd29yZA==; appID=1; fieldIn=start; "
              "fieldInType=DATETIME; fieldOut=end; fieldOutType=DATETIME; fieldUser=employeeNo; "
              "fieldUserType=NUMBER; fieldUserDisplay=氏名");
    EXPECT_EQ(posts, 1);
    EXPECT_FALSE(window->isVisible());

    // A retrieval refills the boxes, and the names come back with the employee field chosen again.
    showAndLoad();
    press("fieldinfo");
    ASSERT_TRUE(processEventsUntil([&] { return box("fieldIn").currentIndex() < 0 && !namesShown(); }));
    choose("fieldIn", "start");
    choose("fieldOut", "end");
    choose("fieldUser", "employeeNo");
    ASSERT_TRUE(processEventsUntil([&] { return namesShown(); }));
    choose("fieldUser", "employee");
    ASSERT_TRUE(processEventsUntil([&] { return !namesShown(); }));
    press("ok");
    EXPECT_EQ(stored(),
              "subDomain=Example-2; topLevelDomain=com; authCode=dXNlcjpwYXNzd29yZA==; appID=1; fieldIn=start; "
              "fieldInType=DATETIME; fieldOut=end; fieldOutType=DATETIME; fieldUser=employee; "
              "fieldUserType=USER_SELECT; fieldUserDisplay=");
    EXPECT_EQ(posts, 2);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(SettingViewTest, ShowingFetchesFromTheStoredRegionAndSelectsTheLastEntryWithEachStoredCode) {
    // Per case: a lookup employee (else the user selection), the field missing from app 1, whether the names' app
    // fails, and the stored region and the selection of each box. The first case is the first showing: its region
    // must be selected before the first request. A failing retrieval leaves the boxes as they were and no longer
    // holds back the employee field.
    const std::tuple<bool, const char*, bool, QStringList> cases[] = {
        {false, "", false, {"cn", "start", "end", "employee", ""}},
        {true, "end", true, {"com", "start", "end", "employee", ""}},
        {true, "end", false, {"com", "start", "", "employeeNo", "氏名"}}};
    for (const auto& [lookup, missing, failing, expected] : cases) {
        SCOPED_TRACE(expected.join(' ').toStdString());
        store->setObjectForKey(expected[0].toStdString(), "topLevelDomain");
        if (lookup) {
            store->setObjectForKey("employeeNo", "fieldUser");
            store->setObjectForKey("氏名", "fieldUserDisplay");
        }
        // The attendance app without `missing`, with a second entry under the code "start".
        Json app = kintonesim::sampleData()["apps"]["1"]["properties"];
        app["start2"] = app["start"];
        app.erase(missing);
        sim.setFormFields(1, app);
        sim.clearFaults();
        if (failing)
            sim.addFault(on("GET", fieldsPath, answer(500, R"({"message":"障害"})"), "app=2"));
        sim.clearRequests();
        showAndLoad();
        EXPECT_EQ(sim.requests("GET", fieldsPath).at(0).header("Host"), "example.cybozu." + expected[0].toStdString());
        QStringList selected;
        for (const char* name : {"topLevelDomain", "fieldIn", "fieldOut", "fieldUser", "fieldUserDisplay"}) {
            selected << box(name).selectedValue("code");
            EXPECT_EQ(box(name).currentIndex(), codes(name).lastIndexOf(selected.back())) << name;
        }
        EXPECT_EQ(selected, expected);
        EXPECT_EQ(namesShown(), !expected[4].isEmpty());
    }
    press("ok");
    ASSERT_TRUE(alert->waitForCount(2));
    EXPECT_EQ(alert->messages(), (std::vector<std::string>{"障害", "退勤日時フィールドを選択して下さい"}));
}

TEST_F(SettingViewTest, RowsSitSideBySideAndTheAuthAndProxyWindowsFillTheFormOrStoreOnlyWhatPassesTheirChecks) {
    // Each row's controls from the left: a caption or button by its text, any other control by its name.
    const QStringList expected = {"サブドメイン https:// subDomain .cybozu topLevelDomain",
                                  "認証コード authCode 認証コード生成",
                                  "アプリID appID フィールド取得 プロキシサーバー",
                                  "出勤日時フィールド fieldIn",
                                  "退勤日時フィールド fieldOut",
                                  "従業員フィールド fieldUser 従業員名フィールド fieldUserDisplay",
                                  "OK Cancel"};
    QStringList rows;
    for (const QWidget* row : form().findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QStringList controls;
        int rightEdge = 0;
        for (const QWidget* control : row->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QString text = control->property("text").toString(); // empty in the inputs, none in the boxes
            controls << (text.isEmpty() ? control->objectName() : text) + (control->x() < rightEdge ? " OVERLAPS" : "");
            rightEdge = control->x() + control->width();
        }
        rows << controls.join(' ');
    }
    EXPECT_EQ(rows, expected);
    expectControlsInside(form());
    EXPECT_EQ(box("topLevelDomain").currentText() + box("topLevelDomain").itemText(1), ".com/.cn/");
    EXPECT_EQ(input("authCode").echoMode(), QLineEdit::Password) << "it holds the password";

    // Each press opens an auth window whose code fills the form; "Cancel" stores nothing, and showing reloads it.
    showAndLoad();
    const std::string before = stored();
    press("authorization");
    press("authorization");
    for (const auto& [button, code] : {std::pair("cancel", authCode), std::pair("ok", "dXNlcjpwYTpzcw==")}) {
        ZUMContainerView& auth = opened("認証コード生成", "loginName");
        const QPointer<QWidget> shown = auth.window();
        auth.input().value("loginName")->setText("user:pa");
        auth.password().value("loginPassword")->setText("ss");
        auth.button().value(button)->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(shown.isNull()) << "closed and freed";
        EXPECT_EQ(input("authCode").text(), code);
    }
    input("subDomain").setText("other");
    choose("topLevelDomain", "cn");
    press("cancel");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(stored(), before);
    window->present();
    ASSERT_TRUE(view().loading());
    EXPECT_TRUE(processEventsUntil([&] { return QApplication::focusWidget() == &input("subDomain"); }));
    choose("fieldUser", "employeeNo");
    ASSERT_TRUE(waitSettled(workers)); // a fetch the choice started would have been answered too
    EXPECT_FALSE(view().loading());
    for (const auto& request : sim.requests("GET", fieldsPath))
        EXPECT_EQ(request.query, "app=1") << "names were fetched while loading";
    EXPECT_EQ(QStringList({input("subDomain").text(), input("authCode").text(), box("topLevelDomain").currentText()}),
              QStringList({"example", authCode, ".com/"}));

    // The proxy window saves all four as typed, only after a passing check.
    const char* const keys[] = {"proxyHost", "proxyPort", "proxyUser", "proxyPassword"};
    QStringList saved(4); // as configure() stores them
    // Each pair half filled the other way round, so that fields passed to the check in the wrong place show.
    const std::tuple<QStringList, const char*, const char*> steps[] = {
        {{"", "8080", "", ""}, "ok", "アドレスを入力して下さい"},
        {{"h", "1", "", "secret"}, "ok", "ユーザー名を入力して下さい"},
        {{"h", "1", "u", "p"}, "cancel", nullptr},
        {{" proxy.local", "8080", "", ""}, "ok", "アドレスはホスト名かIPアドレスで入力して下さい"},
        {{"proxy.local", "8080", "", ""}, "ok", nullptr},
        {{"", "", "user", "pass word"}, "ok", nullptr}};
    for (const auto& [typed, button, refusal] : steps) {
        press("proxy");
        ZUMContainerView& proxy = opened("プロキシサーバー設定", "proxyHost");
        QStringList shown;
        for (int i = 0; i < 4; ++i) {
            shown << proxy.findChild<QLineEdit*>(keys[i])->text();
            proxy.findChild<QLineEdit*>(keys[i])->setText(typed[i]);
        }
        EXPECT_EQ(shown, saved);
        proxy.button().value(button)->click();
        EXPECT_EQ(proxy.isVisible(), refusal != nullptr);
        if (refusal) {
            EXPECT_EQ(alert->messages().back(), refusal);
            proxy.window()->close();
        } else if (button == std::string("ok")) {
            saved = typed;
        }
        QStringList kept;
        for (const char* key : keys)
            kept << QString::fromStdString(store->stringForKey(key).value_or("<none>"));
        EXPECT_EQ(kept, saved);
    }
    // A retrieval goes through the proxy as saved at that moment.
    store->setObjectForKey("127.0.0.1", "proxyHost");
    store->setObjectForKey("1", "proxyPort");
    press("fieldinfo");
    EXPECT_TRUE(alert->waitForCount(4));
}

} // namespace

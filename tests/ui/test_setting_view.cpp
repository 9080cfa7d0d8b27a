#include "QSettingsStore.h"
#include "QtMainQueue.h"
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
#include <QWindow>

#include <map>
#include <tuple>
#include <vector>

using namespace stampo;
using namespace stampo::test;

namespace {

const char* const allBoxes[] = {"topLevelDomain", "fieldIn", "fieldOut", "fieldUser", "fieldUserDisplay"};

// The texts of a form's inputs by name.
using Texts = std::map<QString, QString>;
Texts texts(const ZUMContainerView& form) {
    Texts texts;
    for (const QLineEdit* field : form.findChildren<QLineEdit*>())
        texts[field->objectName()] = field->text();
    return texts;
}
void fill(const ZUMContainerView& form, const Texts& texts) {
    for (const auto& [name, text] : texts)
        form.findChild<QLineEdit*>(name)->setText(text);
}
Texts proxyTexts(const char* host, const char* port, const char* user, const char* password) {
    return {{"proxyHost", host}, {"proxyPort", port}, {"proxyUser", user}, {"proxyPassword", password}};
}

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
    // A window the form opened: above the settings window, with the keyboard in its first input.
    void expectOpenedAboveWithFocusIn(const ZUMContainerView& opened, const char* firstInput) const {
        EXPECT_EQ(opened.window()->windowHandle()->transientParent(), window->windowHandle());
        EXPECT_EQ(opened.window()->focusWidget(), opened.findChild<QWidget*>(firstInput)) << firstInput;
    }
    static Json sample(int app) { return kintonesim::sampleData()["apps"][std::to_string(app)]["properties"]; }
    // The form of a window on screen titled `title`.
    static ZUMContainerView& shownForm(const QString& title) {
        for (QWidget* other : QApplication::topLevelWidgets())
            if (other->isVisible() && other->windowTitle() == title)
                return *static_cast<FormWindow*>(other)->controller()->container();
        throw std::runtime_error("no window " + title.toStdString());
    }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<QtMainQueue> appQueue = std::make_shared<QtMainQueue>();
    Notifications notifications;
    std::unique_ptr<FormWindow> window;
    int posts = 0;
};

TEST_F(SettingViewTest, RowsHoldTheirCaptionsAndControlsSideBySideWithinTheForm) {
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
            const auto* caption = qobject_cast<const QLabel*>(control);
            const auto* button = qobject_cast<const QPushButton*>(control);
            controls << (caption  ? caption->text()
                         : button ? button->text()
                                  : control->objectName()) +
                            (control->x() < rightEdge ? " OVERLAPS" : "");
            rightEdge = control->x() + control->width();
        }
        rows << controls.join(' ');
    }
    EXPECT_EQ(rows, expected);
    expectControlsInside(form());
    EXPECT_EQ(box("topLevelDomain").currentText() + box("topLevelDomain").itemText(1), ".com/.cn/");
    EXPECT_EQ(form().input().value("authCode")->echoMode(), QLineEdit::Password) << "it holds the password";
}

TEST_F(SettingViewTest, OkChecksInOrderThenSavesEachKindOfEmployeeAndPostsOncePerSave) {
    for (const char* key : {"subDomain", "authCode", "appID"})
        store->setObjectForKey("", key);
    window->present();
    std::string before = stored();
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
    // Choosing the same employee field again keeps the name chosen for it.
    emit box("fieldUser").activated(box("fieldUser").currentIndex());
    ASSERT_TRUE(waitSettled(workers));
    EXPECT_EQ(box("fieldUserDisplay").selectedValue("code"), "氏名");
    press("ok");
    EXPECT_EQ(stored(), "subDomain=example; topLevelDomain=com; authCode=dXNlcjpwYXNzd29yZA==; appID=1; fieldIn=start; "
                        "fieldInType=DATETIME; fieldOut=end; fieldOutType=DATETIME; fieldUser=employeeNo; "
                        "fieldUserType=NUMBER; fieldUserDisplay=氏名");
    EXPECT_EQ(posts, 1);
    EXPECT_FALSE(window->isVisible());

    showAndLoad();
    choose("fieldUser", "employee");
    ASSERT_TRUE(processEventsUntil([&] { return !namesShown(); }));
    // Only a host label makes kintone's address; blanks are not trimmed away.
    before = stored();
    for (const char* subdomain : {"  ", "evil.example/#", " example", "ｅｘａｍｐｌｅ",
                                  "a123456789b123456789c123456789d123456789e123456789f123456789xyzw"}) {
        type("subDomain", subdomain);
        refused("サブドメインが正しくありません", false);
    }
    type("subDomain", "Example-2");
    press("ok");
    EXPECT_EQ(stored(),
              "subDomain=Example-2; topLevelDomain=com; authCode=dXNlcjpwYXNzd29yZA==; appID=1; fieldIn=start; "
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

TEST_F(SettingViewTest, FailingNameSourceLeavesTheBoxesAsTheyWereAndTheEmployeeFieldChoosable) {
    showAndLoad();
    window->close();
    store->setObjectForKey("employeeNo", "fieldUser");
    Json app1 = sample(1);
    app1.erase("end");
    sim.setFormFields(1, app1);
    sim.addFault(on("GET", fieldsPath, answer(500, R"({"message":"障害"})"), "app=2"));
    window->present();
    ASSERT_TRUE(alert->waitForCount(1) && waitSettled(workers));
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"障害"});
    EXPECT_EQ(box("fieldOut").selectedValue("code"), "end");
    EXPECT_EQ(box("fieldUser").selectedValue("code"), "employee");
    EXPECT_FALSE(namesShown());
    sim.clearFaults();
    choose("fieldUser", "employeeNo");
    EXPECT_TRUE(processEventsUntil([&] { return namesShown(); })) << "the failed retrieval still counts as loading";
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
    EXPECT_TRUE(processEventsUntil([&] { return QApplication::focusWidget() == form().input().value("subDomain"); }));
    choose("fieldUser", "employeeNo");
    ASSERT_TRUE(waitSettled(workers)); // a fetch the choice started would have been answered too
    EXPECT_FALSE(view().loading());
    for (const auto& request : sim.requests("GET", fieldsPath))
        EXPECT_EQ(request.query, "app=1") << "names were fetched while loading";
    EXPECT_EQ(form().input().value("subDomain")->text(), "example");
    EXPECT_EQ(form().input().value("authCode")->text(), authCode);
    EXPECT_EQ(box("topLevelDomain").currentText(), ".com/");
    EXPECT_EQ(posts, 0);
}

TEST_F(SettingViewTest, EachPressOpensAnotherAuthWindowWhichNeedsALoginNameAndWhoseCodeButtonFillsTheForm) {
    showAndLoad();
    press("authorization");
    press("authorization");
    const std::pair<const char*, const char*> cases[] = {{"cancel", authCode}, {"ok", "dXNlcjpwYTpzcw=="}};
    for (const auto& [button, code] : cases) {
        ZUMContainerView& auth = shownForm("認証コード生成");
        expectOpenedAboveWithFocusIn(auth, "loginName");
        expectControlsInside(auth);
        fill(auth, {{"loginName", ""}, {"loginPassword", "ss"}});
        auth.button().value("ok")->click();
        EXPECT_EQ(alert->messages().back(), "ログイン名を入力して下さい");
        EXPECT_TRUE(auth.isVisible());
        fill(auth, {{"loginName", "user:pa"}});
        auth.button().value(button)->click();
        EXPECT_FALSE(auth.isVisible());
        EXPECT_EQ(form().input().value("authCode")->text(), code);
    }
    EXPECT_EQ(alert->messages().size(), 2u);
}

TEST_F(SettingViewTest, ProxyWindowSavesAllFourAsTypedOnlyAfterAPassingCheck) {
    showAndLoad();
    Texts saved = proxyTexts("old.local", "3128", "olduser", "oldpass");
    for (const auto& [key, text] : saved)
        store->setObjectForKey(text.toStdString(), key.toStdString());
    // Each pair half filled the other way round, so that fields passed to the check in the wrong place show.
    const std::tuple<Texts, const char*, const char*> steps[] = {
        {proxyTexts("", "8080", "", ""), "ok", "アドレスを入力して下さい"},
        {proxyTexts("h", "1", "", "secret"), "ok", "ユーザー名を入力して下さい"},
        {proxyTexts("h", "1", "u", "p"), "cancel", nullptr},
        {proxyTexts(" proxy.local", "8080", "", ""), "ok", "アドレスはホスト名かIPアドレスで入力して下さい"},
        {proxyTexts("proxy.local", "8080", "", ""), "ok", nullptr},
        {proxyTexts("", "", "user", "pass word"), "ok", nullptr}};
    for (const auto& [typed, button, refusal] : steps) {
        press("proxy");
        ZUMContainerView& proxyForm = shownForm("プロキシサーバー設定");
        expectOpenedAboveWithFocusIn(proxyForm, "proxyHost");
        expectControlsInside(proxyForm);
        EXPECT_EQ(texts(proxyForm), saved);
        fill(proxyForm, typed);
        proxyForm.button().value(button)->click();
        EXPECT_EQ(proxyForm.isVisible(), refusal != nullptr);
        if (refusal) {
            EXPECT_EQ(alert->messages().back(), refusal);
            proxyForm.window()->close();
        } else if (button == std::string("ok")) {
            saved = typed;
        }
        Texts stored;
        for (const auto& [key, text] : saved)
            stored[key] = QString::fromStdString(store->stringForKey(key.toStdString()).value_or("<none>"));
        EXPECT_EQ(stored, saved);
    }
    EXPECT_EQ(alert->messages().size(), 3u);
}

} // namespace

#include "app/QSettingsStore.h"
#include "settings/AuthView.h"
#include "settings/ProxyView.h"
#include "support/WidgetTesting.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QTemporaryDir>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace stampo;
using Texts = std::map<std::string, std::string>;

Texts proxy(std::string host, std::string port, std::string user, std::string password) {
    return {{"proxyHost", host}, {"proxyPort", port}, {"proxyUser", user}, {"proxyPassword", password}};
}

// A settings form shown over stored proxy settings, typed into, pressed and read by the names of its controls.
class SettingsForm : public ::testing::Test {
protected:
    SettingsForm() {
        for (const auto& [key, text] : before)
            store->setObjectForKey(text, key);
        QObject::connect(
            &notifications, &Notifications::didStampoAuthorization, &notifications,
            [this](const QVariantMap& userInfo) { posts.emplace_back(userInfo, window->isVisible()); },
            Qt::DirectConnection);
    }
    void open(ViewController* view) {
        window = std::make_unique<FormWindow>(view, "", false);
        window->present();
        test::expectControlsInside(form());
    }
    ZUMContainerView& form() const { return *window->controller()->container(); }
    void type(const Texts& texts) const {
        for (const auto& [name, text] : texts)
            form().findChild<QLineEdit*>(QString::fromStdString(name))->setText(QString::fromStdString(text));
    }
    void press(const char* name) const { form().button().value(name)->click(); }
    // Every input's text by name.
    Texts shown() const {
        Texts texts;
        for (const QLineEdit* field : form().findChildren<QLineEdit*>())
            texts[field->objectName().toStdString()] = field->text().toStdString();
        return texts;
    }
    Texts stored() const {
        Texts texts;
        for (const auto& [key, text] : before)
            texts[key] = store->stringForKey(key).value_or("(none)");
        return texts;
    }

    const Texts before = proxy("old.local", "3128", "olduser", "oldpass");
    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<test::RecordingAlert> alert = std::make_shared<test::RecordingAlert>();
    Notifications notifications;
    std::unique_ptr<FormWindow> window;
    std::vector<std::pair<QVariantMap, bool>> posts; // each with whether the window was still shown
};

TEST_F(SettingsForm, AuthPostsTheCodeOfAPassingFormThenClosesAndForgetsTheInputs) {
    open(new AuthView(alert, &notifications));
    type({{"loginName", ""}, {"loginPassword", "ss"}});
    press("ok");
    EXPECT_EQ(alert->messages(), std::vector<std::string>{"ログイン名を入力して下さい"});
    EXPECT_TRUE(window->isVisible());

    type({{"loginName", "user:pa"}});
    press("ok");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].first, (QVariantMap{{"authCode", "dXNlcjpwYTpzcw=="}}));
    EXPECT_TRUE(posts[0].second) << "posted after closing";
    EXPECT_FALSE(window->isVisible());

    window->present();
    EXPECT_EQ(shown(), (Texts{{"loginName", ""}, {"loginPassword", ""}}));
    type({{"loginName", "user"}, {"loginPassword", "secret"}});
    press("cancel");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(posts.size(), 1u);
}

TEST_F(SettingsForm, ProxySavesAllFourAsTypedOnlyAfterAPassingCheckAndCancelDiscardsTheEdits) {
    open(new ProxyView(store, alert));
    EXPECT_EQ(shown(), before);
    // Each pair half filled the other way round, so that fields passed to the check in the wrong place show.
    const std::pair<Texts, std::string> refused[] = {{proxy("", "8080", "", ""), "アドレスを入力して下さい"},
                                                     {proxy("h", "1", "", "secret"), "ユーザー名を入力して下さい"}};
    for (const auto& [typed, message] : refused) {
        type(typed);
        press("ok");
        EXPECT_EQ(alert->messages().back(), message);
        EXPECT_TRUE(window->isVisible());
    }
    press("cancel");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(stored(), before);
    window->present();
    EXPECT_EQ(shown(), before) << "discarded edits reappeared";

    for (const Texts& typed : {proxy(" proxy.local", "8o8o ", "", ""), proxy("", "", "user", "pass word")}) {
        type(typed);
        press("ok");
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(stored(), typed);
        window->present();
        EXPECT_EQ(shown(), typed);
    }
    EXPECT_EQ(alert->messages().size(), 2u);
}

} // namespace

#include "app/QSettingsStore.h"
#include "settings/AuthView.h"
#include "settings/ProxyView.h"
#include "support/TestSeams.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using stampo::FormWindow;
using stampo::ZUMContainerView;
using stampo::test::RecordingAlert;
using Texts = std::map<std::string, std::string>;

// The figures of the forms' layout assume an application font of 13 pixels.
class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFont font = QApplication::font();
        font.setPixelSize(13);
        QApplication::setFont(font);
    }

    static ZUMContainerView& form(const FormWindow& window) { return *window.controller()->container(); }

    static void type(const FormWindow& window, const Texts& texts) {
        for (const auto& [name, text] : texts) {
            const QString key = QString::fromStdString(name);
            QLineEdit* field = form(window).input().value(key);
            (field ? field : form(window).password().value(key))->setText(QString::fromStdString(text));
        }
    }

    static Texts shown(const FormWindow& window) {
        Texts texts;
        for (const auto& [name, field] : form(window).input().asKeyValueRange())
            texts[name.toStdString()] = field->text().toStdString();
        for (const auto& [name, field] : form(window).password().asKeyValueRange())
            texts[name.toStdString()] = field->text().toStdString();
        return texts;
    }

    static void press(const FormWindow& window, const char* name) { form(window).button().value(name)->click(); }

    // Size rounded once, and no control reaching past the form's edges.
    static void expectFormFits(const FormWindow& window, QSize size) {
        const ZUMContainerView& container = form(window);
        EXPECT_EQ(container.size(), size);
        for (const QWidget* control : container.findChildren<QWidget*>()) {
            const QRect frame(control->mapTo(&container, QPoint(0, 0)), control->size());
            EXPECT_TRUE(container.rect().contains(frame)) << control->objectName().toStdString();
        }
    }

    std::shared_ptr<RecordingAlert> m_alert = std::make_shared<RecordingAlert>();
};

class AuthViewTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        m_window =
            std::make_unique<FormWindow>(new stampo::AuthView(m_alert, &m_notifications), "認証コード生成", false);
        QObject::connect(
            &m_notifications, &stampo::Notifications::didStampoAuthorization, m_window.get(),
            [this](const QVariantMap& userInfo) {
                m_posts.push_back(userInfo);
                m_shownAtPost.push_back(m_window->isVisible());
            },
            Qt::DirectConnection);
    }

    stampo::Notifications m_notifications;
    std::unique_ptr<FormWindow> m_window;
    std::vector<QVariantMap> m_posts;
    std::vector<bool> m_shownAtPost;
};

TEST_F(AuthViewTest, LaysOutTheForm) {
    m_window->show();
    expectFormFits(*m_window, QSize(295, 108));
    EXPECT_EQ(form(*m_window).password().value("loginPassword")->echoMode(), QLineEdit::Password);
}

TEST_F(AuthViewTest, ReportsTheFirstEmptyInputAndCancelPostsNothing) {
    const Texts cases[] = {
        {{"loginName", ""}, {"loginPassword", ""}},
        {{"loginName", ""}, {"loginPassword", "secret"}},
        {{"loginName", "user"}, {"loginPassword", ""}},
    };
    const std::vector<std::string> expected{"ログイン名を入力して下さい", "ログイン名を入力して下さい",
                                            "ログインパスワードを入力して下さい"};
    m_window->show();
    for (const Texts& typed : cases) {
        type(*m_window, typed);
        press(*m_window, "ok");
        EXPECT_TRUE(m_window->isVisible());
        EXPECT_EQ(shown(*m_window), typed);
    }
    EXPECT_EQ(m_alert->messages(), expected);
    type(*m_window, {{"loginName", "user"}, {"loginPassword", "secret"}});
    press(*m_window, "cancel");
    EXPECT_FALSE(m_window->isVisible());
    EXPECT_EQ(m_alert->messages().size(), expected.size());
    EXPECT_TRUE(m_posts.empty());
}

TEST_F(AuthViewTest, PostsTheCodeOnceThenClosesAndForgetsTheInputs) {
    struct Case {
        std::string name;
        std::string password;
        QString code;
    };
    const Case cases[] = {
        {"user:pa", "ss", "dXNlcjpwYTpzcw=="},
        {"山田", "パス", "5bGx55SwOuODkeOCuQ=="},
        {" ", " ", "IDog"},
    };
    const Texts empty{{"loginName", ""}, {"loginPassword", ""}};
    for (const Case& c : cases) {
        m_posts.clear();
        m_shownAtPost.clear();
        m_window->show();
        EXPECT_EQ(shown(*m_window), empty) << "an earlier login reappeared";
        type(*m_window, {{"loginName", c.name}, {"loginPassword", c.password}});
        press(*m_window, "ok");
        ASSERT_EQ(m_posts.size(), 1u) << c.name;
        EXPECT_EQ(m_posts[0], (QVariantMap{{"authCode", c.code}})) << c.name;
        EXPECT_EQ(m_shownAtPost, std::vector<bool>{true}) << "posted after closing";
        EXPECT_FALSE(m_window->isVisible());
    }
    EXPECT_TRUE(m_alert->messages().empty());
}

class ProxyViewTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        m_store = std::make_shared<stampo::QSettingsStore>(m_dir.filePath("Stampo.conf"));
    }

    std::unique_ptr<FormWindow> open() {
        auto window =
            std::make_unique<FormWindow>(new stampo::ProxyView(m_store, m_alert), "プロキシサーバー設定", false);
        window->show();
        return window;
    }

    void store(const Texts& texts) {
        for (const auto& [key, text] : texts)
            m_store->setObjectForKey(text, key);
    }

    Texts stored() const {
        Texts texts;
        for (const char* key : {"proxyHost", "proxyPort", "proxyUser", "proxyPassword"})
            if (const auto text = m_store->stringForKey(key))
                texts[key] = *text;
        return texts;
    }

    static Texts proxy(std::string host, std::string port, std::string user, std::string password) {
        return {{"proxyHost", host}, {"proxyPort", port}, {"proxyUser", user}, {"proxyPassword", password}};
    }

    QTemporaryDir m_dir;
    std::shared_ptr<stampo::QSettingsStore> m_store;
};

TEST_F(ProxyViewTest, LaysOutTheForm) {
    const auto window = open();
    EXPECT_EQ(shown(*window), proxy("", "", "", "")) << "nothing stored shows empty inputs";
    expectFormFits(*window, QSize(575, 166));
    EXPECT_EQ(form(*window).password().value("proxyPassword")->echoMode(), QLineEdit::Password);
}

TEST_F(ProxyViewTest, ReportsTheFirstHalfFilledPairAndSavesNothing) {
    struct Case {
        Texts typed;
        std::string message;
    };
    const Case cases[] = {
        {proxy("", "8080", "user", ""), "アドレスを入力して下さい"},
        {proxy("proxy.local", "", "", "secret"), "ポート番号を入力して下さい"},
        {proxy(" ", "", "", ""), "ポート番号を入力して下さい"},
        {proxy("proxy.local", "8080", "", "secret"), "ユーザー名を入力して下さい"},
        {proxy("proxy.local", "8080", "user", ""), "パスワードを入力して下さい"},
    };
    const Texts before = proxy("old.local", "3128", "olduser", "oldpass");
    store(before);
    const auto window = open();
    for (const Case& c : cases) {
        const std::size_t alerts = m_alert->messages().size();
        type(*window, c.typed);
        press(*window, "ok");
        ASSERT_EQ(m_alert->messages().size(), alerts + 1);
        EXPECT_EQ(m_alert->messages().back(), c.message);
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(shown(*window), c.typed);
        EXPECT_EQ(stored(), before);
    }
}

TEST_F(ProxyViewTest, SavesAllFourAsTypedAndShowsThemAgain) {
    const Texts cases[] = {
        proxy("proxy.example.jp", "8o8o", "", ""),
        proxy(" ", " ", " ", " "),
        proxy("", "", "user", "pass word"),
        proxy("", "", "", ""),
    };
    store(proxy("old.local", "3128", "olduser", "oldpass"));
    for (const Texts& typed : cases) {
        const auto window = open();
        type(*window, typed);
        press(*window, "ok");
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(stored(), typed);
        EXPECT_EQ(shown(*open()), typed);
    }
    EXPECT_TRUE(m_alert->messages().empty());
}

TEST_F(ProxyViewTest, CancelDiscardsTheEdits) {
    const Texts before = proxy("proxy.local", "8080", "user", "secret");
    store(before);
    const auto window = open();
    EXPECT_EQ(shown(*window), before);
    type(*window, proxy("other.local", "1", "", ""));
    press(*window, "cancel");
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(stored(), before);
    window->show();
    EXPECT_EQ(shown(*window), before) << "discarded edits reappeared";
}

} // namespace

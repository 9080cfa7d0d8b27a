#include "settings/AuthCode.h"
#include "settings/ProxyCheck.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using stampo::ProxyFields;

TEST(AuthCode, Base64MatchesTheRfcVectors) {
    struct Case {
        std::string bytes;
        const char* expected;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string("\0\0\0", 3), "AAAA"},
        {"\xFB\xFF", "+/8="},
        {"\xFF\xFE\xFD", "//79"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stampo::base64(c.bytes), c.expected) << c.expected;
}

TEST(AuthCode, EncodesNameColonPasswordUnchanged) {
    struct Case {
        const char* what;
        std::string name;
        std::string password;
        const char* expected;
    };
    const Case cases[] = {
        {"plain", "Administrator", "cybozu", "QWRtaW5pc3RyYXRvcjpjeWJvenU="},
        {"colon inside the name", "user:pa", "ss", "dXNlcjpwYTpzcw=="},
        {"colons on both sides", "a", "b:c", "YTpiOmM="},
        {"blanks kept", " ", " ", "IDog"},
        {"both empty", "", "", "Og=="},
        {"symbols of the alphabet", "user@example.com", "p@ss w0rd/+?", "dXNlckBleGFtcGxlLmNvbTpwQHNzIHcwcmQvKz8="},
        {"non-ASCII as UTF-8 bytes", "山田", "パス", "5bGx55SwOuODkeOCuQ=="},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stampo::authCode(c.name, c.password), c.expected) << c.what;
}

TEST(AuthCode, LongInputHasNoLineBreaks) {
    // "あ" is three UTF-8 bytes that encode to exactly "44GC"; ":x" closes the text with one padding.
    std::string name;
    std::string expected;
    for (int i = 0; i < 400; ++i) {
        name += "あ";
        expected += "44GC";
    }
    expected += "Ong=";
    EXPECT_EQ(stampo::authCode(name, "x"), expected);
}

TEST(AuthCode, FormCheckReportsTheFirstEmptyInput) {
    struct Case {
        std::string name;
        std::string password;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"", "", "ログイン名を入力して下さい"},
        {"", "secret", "ログイン名を入力して下さい"},
        {"user", "", "ログインパスワードを入力して下さい"},
        {" ", "", "ログインパスワードを入力して下さい"},
        {"user", "secret", std::nullopt},
        {" ", " ", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stampo::checkAuthForm(c.name, c.password), c.expected) << "[" << c.name << "][" << c.password << "]";
}

TEST(ProxyCheck, ReportsTheFirstHalfFilledPair) {
    struct Case {
        ProxyFields fields;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {{"", "", "", ""}, std::nullopt},
        {{"proxy.local", "8080", "", ""}, std::nullopt},
        {{"", "", "user", "secret"}, std::nullopt},
        {{"proxy.local", "80a", "user", "secret"}, std::nullopt},
        {{" ", " ", " ", " "}, std::nullopt},
        {{"", "8080", "", ""}, "アドレスを入力して下さい"},
        {{"proxy.local", "", "", ""}, "ポート番号を入力して下さい"},
        {{" ", "", "", ""}, "ポート番号を入力して下さい"},
        {{"proxy.local", "8080", "", "secret"}, "ユーザー名を入力して下さい"},
        {{"proxy.local", "8080", "user", ""}, "パスワードを入力して下さい"},
        {{"", "", "", " "}, "ユーザー名を入力して下さい"},
        // The address pair is judged before the user pair.
        {{"", "8080", "user", ""}, "アドレスを入力して下さい"},
        {{"proxy.local", "", "user", ""}, "ポート番号を入力して下さい"},
        {{"proxy.local", "", "", "secret"}, "ポート番号を入力して下さい"},
    };
    for (const Case& c : cases) {
        const ProxyFields& f = c.fields;
        EXPECT_EQ(stampo::checkProxyForm(f), c.expected)
            << "[" << f.host << "][" << f.port << "][" << f.user << "][" << f.password << "]";
    }
}

} // namespace

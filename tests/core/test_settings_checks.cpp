#include "settings/AuthCode.h"
#include "settings/ProxyCheck.h"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

namespace {

using Message = std::optional<std::string>;

TEST(AuthCode, Base64AndTheCodeOfNameColonPassword) {
    const char* rfc[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t length = 0; length < std::size(rfc); ++length)
        EXPECT_EQ(stampo::base64(std::string("foobar", length)), rfc[length]);
    EXPECT_EQ(stampo::base64(std::string("\0\0\0\xFB\xFF", 5)), "AAAA+/8=");
    EXPECT_EQ(stampo::base64(std::string(300, '\xFF')), std::string(400, '/')) << "no line breaks";
    // Name and password joined by ":" unchanged, as UTF-8 bytes.
    const std::string codes[][3] = {
        {"user:pa", "ss", "dXNlcjpwYTpzcw=="}, {"", "", "Og=="}, {"山田", "パス", "5bGx55SwOuODkeOCuQ=="}};
    for (const auto& [name, password, expected] : codes)
        EXPECT_EQ(stampo::authCode(name, password), expected) << name;
}

TEST(AuthCode, FormCheckReportsTheFirstEmptyInput) {
    const std::tuple<std::string, std::string, Message> cases[] = {{"", "secret", "ログイン名を入力して下さい"},
                                                                   {" ", "", "ログインパスワードを入力して下さい"},
                                                                   {"", "", "ログイン名を入力して下さい"},
                                                                   {" ", " ", std::nullopt}};
    for (const auto& [name, password, expected] : cases)
        EXPECT_EQ(stampo::checkAuthForm(name, password), expected) << "[" << name << "][" << password << "]";
}

TEST(ProxyCheck, ReportsTheFirstHalfFilledPairUntrimmedThenAnAddressOrPortThatIsNone) {
    const Message badHost = "アドレスはホスト名かIPアドレスで入力して下さい",
                  badPort = "ポート番号は1から65535までの数字で入力して下さい";
    const std::pair<stampo::ProxyFields, Message> cases[] = {
        {{"", "", "", ""}, std::nullopt},
        {{"", "", "user", "secret"}, std::nullopt},
        {{"proxy.example.co.jp", "8080", "", ""}, std::nullopt},
        {{"proxy_01", "1", "", ""}, std::nullopt},
        {{"192.168.0.1", "65535", "", ""}, std::nullopt},
        {{"[2001:db8::1]", "3128", "", ""}, std::nullopt},
        // What would change which proxy is used, or what it is told.
        {{" ", " ", " ", " "}, badHost},
        {{"http://proxy.local", "80", "", ""}, badHost},
        {{"proxy.local/path", "80", "", ""}, badHost},
        {{"user@proxy.local", "80", "", ""}, badHost},
        {{"proxy.local:80", "80", "", ""}, badHost},
        {{"2001:db8::1", "80", "", ""}, badHost},
        {{"[proxy.local]", "80", "", ""}, badHost},
        {{"300.1.1.1", "80", "", ""}, badHost},
        {{"-proxy.local", "80", "", ""}, badHost},
        {{"proxy..local", "80", "", ""}, badHost},
        {{"proxy.local", "80@other", "", ""}, badPort},
        {{"proxy.local", "80a", "", ""}, badPort},
        {{"proxy.local", "0", "", ""}, badPort},
        {{"proxy.local", "65536", "", ""}, badPort},
        {{"proxy.local", "+80", "", ""}, badPort},
        {{"proxy.local", " 80", "", ""}, badPort},
        {{"", "8080", "", ""}, "アドレスを入力して下さい"},
        {{" ", "", "", ""}, "ポート番号を入力して下さい"},
        {{"proxy.local", "8080", "", "secret"}, "ユーザー名を入力して下さい"},
        {{"", "", "user", ""}, "パスワードを入力して下さい"},
        // The address pair is judged before the user pair, whichever members are empty.
        {{"", "8080", "user", ""}, "アドレスを入力して下さい"},
        {{"proxy.local", "", "", "secret"}, "ポート番号を入力して下さい"}};
    for (const auto& [f, expected] : cases)
        EXPECT_EQ(stampo::checkProxyForm(f), expected)
            << "[" << f.host << "][" << f.port << "][" << f.user << "][" << f.password << "]";
}

} // namespace

#include "kintone/Kintone.h"
#include "settings/AuthCode.h"
#include "settings/ProxyCheck.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

using Json = stampo::Kintone::Json;
using Message = std::optional<std::string>;

// The auth form's check reports the first empty input. The proxy form's: forms that pass; what would change which proxy
// is used, or what it is told; half-filled pairs, untrimmed, the address pair judged before the user pair whichever
// members are empty.
TEST(SettingsChecks, TheAuthCodeIsBase64OfNameColonPasswordAndEachFormReportsItsFirstProblem) {
    // The cases of `form` in the data file: its inputs, then what they make (null: the form passes).
    const auto cases = [](const char* form) { return Json::parse(std::ifstream(STAMPO_FORM_CHECKS)).at(form); };
    const auto outcome = [](const Json& row) {
        return row.back().is_null() ? Message() : row.back().get<std::string>();
    };
    const char* rfc[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t length = 0; length < std::size(rfc); ++length)
        EXPECT_EQ(stampo::base64(std::string("foobar", length)), rfc[length]);
    EXPECT_EQ(stampo::base64(std::string("\0\0\0\xFB\xFF", 5)), "AAAA+/8=");
    EXPECT_EQ(stampo::base64(std::string(300, '\xFF')), std::string(400, '/')) << "no line breaks";
    // Name and password joined by ":" unchanged, as UTF-8 bytes.
    for (const Json& row : cases("authCode"))
        EXPECT_EQ(stampo::authCode(row[0], row[1]), row[2]) << row;
    for (const Json& row : cases("authForm"))
        EXPECT_EQ(stampo::checkAuthForm(row[0], row[1]), outcome(row)) << row;
    for (const Json& row : cases("proxyForm"))
        EXPECT_EQ(stampo::checkProxyForm({row[0], row[1], row[2], row[3]}), outcome(row)) << row;
}

} // namespace

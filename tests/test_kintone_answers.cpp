#include "kintone/Kintone.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using stampo::Kintone;

std::string nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

// Only answers nested as shallowly as kintone's are taken: copying a deeper one would overflow the stack. Brackets
// inside strings do not count, however their quotes are escaped.
TEST(KintoneParseAnswer, RefusesWhatIsNotJsonOrNestsTooDeep) {
    const std::string brackets(100, '[');
    const struct {
        std::string text;
        bool taken;
    } cases[] = {
        {nested(64), true},
        {nested(65), false},
        {R"({"a":)" + nested(63) + "}", true},
        {R"({"a":)" + nested(64) + "}", false},
        {R"({"message":")" + brackets + R"(\")" + brackets + R"("})", true},
        {R"({"m":"\\","a":)" + nested(64) + "}", false},
        {"", false},
        {R"({"a":)", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Kintone::parseAnswer(c.text).has_value(), c.taken) << c.text.substr(0, 60);
}

} // namespace

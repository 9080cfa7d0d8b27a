#include "widgets/ZUMFunc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr hours tokyo{9};

void expectKintoneShape(const std::string& text) {
    ASSERT_EQ(text.size(), 20u) << text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (i) {
        case 4:
        case 7:
            EXPECT_EQ(c, '-') << text;
            break;
        case 10:
            EXPECT_EQ(c, 'T') << text;
            break;
        case 13:
        case 16:
            EXPECT_EQ(c, ':') << text;
            break;
        case 19:
            EXPECT_EQ(c, 'Z') << text;
            break;
        default:
            EXPECT_TRUE(c >= '0' && c <= '9') << text;
        }
    }
}

TEST(ZUMFunc, FormatsInstantsAsUtcText) {
    struct Case {
        const char* what;
        system_clock::time_point instant;
        const char* expected;
    };
    const Case cases[] = {
        {"Tokyo morning", sys_days{2024y / May / 1} + 9h + 30min - tokyo, "2024-05-01T00:30:00Z"},
        {"Tokyo just after midnight is the previous UTC day", sys_days{2024y / May / 2} + 10min - tokyo,
         "2024-05-01T15:10:00Z"},
        {"leap day", sys_days{2024y / February / 29} + 23h + 59min + 59s, "2024-02-29T23:59:59Z"},
        {"back into the leap day", sys_days{2024y / March / 1} + 8h - tokyo, "2024-02-29T23:00:00Z"},
        {"back into the old year", sys_days{2025y / January / 1} + 5h - tokyo, "2024-12-31T20:00:00Z"},
        {"fraction is cut, not rounded", sys_days{2024y / May / 1} + 12h + 999ms, "2024-05-01T12:00:00Z"},
        {"before the epoch, fraction is floored", sys_days{1970y / January / 1} - 500ms, "1969-12-31T23:59:59Z"},
        {"earliest instant of the clock", system_clock::time_point::min(), "1677-09-21T00:12:43Z"},
        {"latest instant of the clock", system_clock::time_point::max(), "2262-04-11T23:47:16Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string text = stampo::ZUMFunc::datetime(c.instant);
        EXPECT_EQ(text, c.expected);
        expectKintoneShape(text);
    }
}

TEST(ZUMFunc, NowIsTheCurrentInstant) {
    const auto before = floor<seconds>(system_clock::now());
    const std::string text = stampo::ZUMFunc::datetime();
    const auto after = system_clock::now();
    expectKintoneShape(text);

    int y = 0;
    unsigned mo = 0, d = 0;
    int h = 0, mi = 0, s = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "%4d-%2u-%2uT%2d:%2d:%2dZ", &y, &mo, &d, &h, &mi, &s), 6);
    const system_clock::time_point parsed =
        sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s};
    EXPECT_LE(before, parsed) << text;
    EXPECT_LE(parsed, after) << text;
}

} // namespace

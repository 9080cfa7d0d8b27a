#include "ZUMFunc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <tuple>

namespace {

using namespace std::chrono; // and its literals

// In UTC whatever the local time zone, hence Tokyo's.
TEST(ZUMFunc, FormatsInstantsAsUtcText) {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    const std::tuple<const char*, system_clock::time_point, const char*> cases[] = {
        {"Tokyo's 00:10 is the day before in UTC", sys_days{2024y / May / 2} + 10min - 9h, "2024-05-01T15:10:00Z"},
        {"leap day", sys_days{2024y / February / 29} + 23h + 59min + 59s, "2024-02-29T23:59:59Z"},
        {"fraction is cut, not rounded", sys_days{2024y / May / 1} + 12h + 999ms, "2024-05-01T12:00:00Z"},
        {"before the epoch, fraction is floored", sys_days{1970y / January / 1} - 500ms, "1969-12-31T23:59:59Z"},
        {"earliest instant of the clock", system_clock::time_point::min(), "1677-09-21T00:12:43Z"},
        {"latest instant of the clock", system_clock::time_point::max(), "2262-04-11T23:47:16Z"},
    };
    for (const auto& [what, instant, expected] : cases)
        EXPECT_EQ(stampo::ZUMFunc::datetime(instant), expected) << what;
}

} // namespace

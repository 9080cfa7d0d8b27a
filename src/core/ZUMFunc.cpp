#include "ZUMFunc.h"

#include <cstdio>

namespace stampo {

namespace {

using std::chrono::system_clock;

constexpr std::chrono::year yearOf(system_clock::time_point instant) {
    return std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(instant)}.year();
}

// kintone accepts four-digit years only; every instant this clock can hold has one, so no clamping is needed.
static_assert(yearOf(system_clock::time_point::min()) >= std::chrono::year{1000} &&
              yearOf(system_clock::time_point::max()) <= std::chrono::year{9999});

} // namespace

std::string ZUMFunc::datetime() {
    return datetime(system_clock::now());
}

std::string ZUMFunc::datetime(system_clock::time_point instant) {
    // Calendar arithmetic on the instant itself: no time zone, no locale, no shared state.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(instant);
    const auto day = std::chrono::floor<std::chrono::days>(seconds);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss time{seconds - day};

    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

} // namespace stampo

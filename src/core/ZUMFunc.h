#pragma once

#include <chrono>
#include <string>

namespace stampo {

// Small shared helpers of the form kit; no instances, no state.
class ZUMFunc final {
public:
    ZUMFunc() = delete;

    // The current instant as kintone's UTC date-time text, e.g. "2024-05-01T00:30:00Z".
    static std::string datetime();
    static std::string datetime(std::chrono::system_clock::time_point instant);
};

} // namespace stampo

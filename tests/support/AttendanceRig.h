#pragma once

#include "app/Attendance.h"
#include "app/QSettingsStore.h"
#include "net/Reachability.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace stampo::test {

// A reachability whose answer the test sets.
class SwitchedReachability final : public Reachability {
public:
    bool isReachable() const override { return reachable; }
    std::atomic<bool> reachable{true};
};

// A clock the test sets.
class SetClock final {
public:
    Attendance::Clock clock() {
        return [this] { return std::chrono::system_clock::time_point(std::chrono::seconds(m_seconds.load())); };
    }
    void set(long long secondsSinceEpoch) { m_seconds = secondsSinceEpoch; }

private:
    std::atomic<long long> m_seconds{1714523400}; // 2024-05-01T00:30:00Z
};

// Stores the settings of the simulator's sample attendance app: a DATETIME start and end, a USER_SELECT employee.
inline void configure(SettingsStore& store, const std::string& authCode) {
    const std::pair<const char*, const char*> values[] = {
        {"subDomain", "example"},
        {"topLevelDomain", "com"},
        {"appID", "1"},
        {"fieldIn", "start"},
        {"fieldInType", "DATETIME"},
        {"fieldOut", "end"},
        {"fieldOutType", "DATETIME"},
        {"fieldUser", "employee"},
        {"fieldUserType", "USER_SELECT"},
        {"fieldUserDisplay", ""},
        {"proxyHost", ""},
        {"proxyPort", ""},
        {"proxyUser", ""},
        {"proxyPassword", ""},
    };
    for (const auto& [key, value] : values)
        store.setObjectForKey(value, key);
    store.setObjectForKey(authCode, "authCode");
}

} // namespace stampo::test

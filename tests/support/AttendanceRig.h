#pragma once

#include "QSettingsStore.h"
#include "attendance/Attendance.h"
#include "net/Reachability.h"

#include <atomic>
#include <sstream>
#include <string>

namespace stampo::test {

// A reachability whose answer the test sets.
struct SwitchedReachability final : Reachability {
    bool isReachable(const std::string&) const override { return reachable; }
    std::atomic<bool> reachable{true};
};

// Stores the settings of the simulator's sample attendance app: a DATETIME start and end, a USER_SELECT employee.
inline void configure(SettingsStore& store, const std::string& authCode) {
    std::istringstream settings("subDomain=example topLevelDomain=com appID=1 fieldIn=start fieldInType=DATETIME "
                                "fieldOut=end fieldOutType=DATETIME fieldUser=employee fieldUserType=USER_SELECT "
                                "fieldUserDisplay= proxyHost= proxyPort= proxyUser= proxyPassword= authCode=" +
                                authCode);
    for (std::string setting; settings >> setting;)
        store.setObjectForKey(setting.substr(setting.find('=') + 1), setting.substr(0, setting.find('=')));
}

} // namespace stampo::test

// stampo-attendance-child SETTINGS CA CONNECT_TO: starts a working day for "sato" against the simulator, then
// ends it and waits for kintone's answer. Prints "on duty" once the work start has succeeded, and "ended" when
// the work end has returned. A test kills it in between.
#include "support/AttendanceRig.h"
#include "support/TestSeams.h"

#include <cstdio>

using namespace stampo;
using namespace stampo::test;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: stampo-attendance-child SETTINGS CA CONNECT_TO\n", stderr);
        return 2;
    }
    TransportOptions options;
    options.caFile = argv[2];
    options.connectTo = argv[3];
    auto mainQueue = std::make_shared<ThreadMainQueue>();
    auto alert = std::make_shared<RecordingAlert>();
    auto store = std::make_shared<QSettingsStore>(QString::fromLocal8Bit(argv[1]));
    auto attendance = std::make_shared<Attendance>(store, Kintone(mainQueue, alert, options),
                                                   std::make_shared<SwitchedReachability>(), mainQueue, alert);

    attendance->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
    if (!alert->waitForCount(1) || attendance->recordno().empty())
        return 1;
    std::puts("on duty");
    std::fflush(stdout);
    attendance->endWork(true);
    std::puts("ended");
    return 0;
}

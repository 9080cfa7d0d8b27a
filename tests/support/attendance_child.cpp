// stampo-attendance-child SETTINGS CA CONNECT_TO: starts a working day for "sato" against the simulator, then ends
// it and waits for kintone's answer. A test kills it while it waits.
#include "support/AttendanceRig.h"
#include "support/TestSeams.h"

using namespace stampo;
using namespace stampo::test;

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    auto mainQueue = std::make_shared<ThreadMainQueue>();
    auto alert = std::make_shared<RecordingAlert>();
    auto attendance = std::make_shared<Attendance>(std::make_shared<QSettingsStore>(QString::fromLocal8Bit(argv[1])),
                                                   Kintone(mainQueue, alert, {.caFile = argv[2], .connectTo = argv[3]}),
                                                   std::make_shared<SwitchedReachability>(), mainQueue, alert);
    attendance->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
    if (!alert->waitForCount(1) || attendance->recordno().empty())
        return 1;
    attendance->endWork(true);
}

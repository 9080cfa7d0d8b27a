// stampo-attendance-child SETTINGS CA CONNECT_TO [DIE_AT]: starts a working day for "sato" against the simulator.
// Without DIE_AT it then ends the day and waits for kintone's answer, and a test kills it while it waits. With DIE_AT
// it ends the day offline once what the start sent has been answered, and kills itself just before the DIE_AT-th
// write of a pending work end, as a process killed between two writes would end.
#include "support/AttendanceRig.h"
#include "support/TestSeams.h"

#include <csignal>
#include <cstdlib>
#include <string>

using namespace stampo;
using namespace stampo::test;

namespace {

// The settings file, but the process dies at a given write of the keys pending work ends are kept under.
class DyingStore final : public SettingsStore {
public:
    DyingStore(const QString& fileName, int dieAt)
        : m_file(fileName)
        , m_dieAt(dieAt) {}

    std::optional<std::string> objectForKey(const std::string& key) const override { return m_file.objectForKey(key); }
    std::optional<std::string> stringForKey(const std::string& key) const override { return m_file.stringForKey(key); }
    void setObjectForKey(const std::string& value, const std::string& key) override {
        count(key);
        m_file.setObjectForKey(value, key);
    }
    void removeObjectForKey(const std::string& key) override {
        count(key);
        m_file.removeObjectForKey(key);
    }

private:
    void count(const std::string& key) {
        if (key != "keepUser" && key.rfind("keep", 0) == 0 && ++m_writes == m_dieAt)
            std::raise(SIGKILL);
    }

    QSettingsStore m_file;
    const int m_dieAt;
    int m_writes = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5)
        return 2;
    const QString settings = QString::fromLocal8Bit(argv[1]);
    std::shared_ptr<SettingsStore> store =
        argc == 5 ? std::shared_ptr<SettingsStore>(std::make_shared<DyingStore>(settings, std::atoi(argv[4])))
                  : std::make_shared<QSettingsStore>(settings);
    auto mainQueue = std::make_shared<ThreadMainQueue>();
    auto alert = std::make_shared<RecordingAlert>();
    auto reachability = std::make_shared<SwitchedReachability>();
    auto attendance = std::make_shared<Attendance>(
        store, Kintone(mainQueue, alert, {.caFile = argv[2], .connectTo = argv[3]}), reachability, mainQueue, alert);
    Monitor settled;
    attendance->setStateListener([&settled] { settled.change([] {}); });
    attendance->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
    if (!alert->waitForCount(1) || attendance->recordno().empty())
        return 1;
    // The older work end the start sends is answered, or not, before the day ends: one change after the other.
    if (argc == 5 && !settled.waitUntil([&attendance] { return !attendance->isSending(); }))
        return 1;
    reachability->reachable = argc == 4;
    attendance->endWork(argc == 4);
}

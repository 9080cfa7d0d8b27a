// Loads a large user list and a large record list from the simulator the way the employee window does, and prints
// for each run and list: items, requests, the requests a read of one page after another takes, connections opened and
// allowed, wall time and the CPU time of the client's threads.
// Arguments: [users] [records] [answer delay in ms] [runs]
#include "Alert.h"
#include "KintoneSimulator.h"
#include "MainQueue.h"
#include "kintone/Kintone.h"
#include "kintone/WorkerThreads.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <future>
#include <iostream>

using namespace stampo;

namespace {

using Json = Kintone::Json;

// Work and alerts run at once on the calling thread: the benchmark has no user interface.
class InlineQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override { work(); }
};

class PrintingAlert final : public Alert {
public:
    void show(const std::string& message) override { std::cerr << "alert: " << message << "\n"; }
};

double threadCpuMs() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) * 1e3 + static_cast<double>(used.tv_nsec) / 1e6;
}

// The client's threads add up what CPU time they used, so that the simulator's own share, in the same process,
// is left out.
struct ClientThreads {
    WorkerThreads workers;
    std::atomic<double> cpuMs{0};

    TransportOptions::ThreadStarter starter() {
        return [this, start = workers.starter()](std::function<void()> work) {
            return start([this, work = std::move(work)] {
                work();
                cpuMs.fetch_add(threadCpuMs());
            });
        };
    }
};

// How many requests a read of one page after another takes, from the items read and the requests sent.
using Sequential = std::size_t (*)(std::size_t items, std::size_t requests);

template <typename Start>
void measure(const char* name, int run, kintonesim::KintoneSimulator& sim, ClientThreads& threads,
             Sequential sequential, int connectionsAllowed, Start start) {
    sim.clearRequests();
    const int connectionsBefore = sim.connections();
    threads.cpuMs = 0;
    std::promise<std::size_t> done;
    const auto begin = std::chrono::steady_clock::now();
    start([&](const Json& list) { done.set_value(list.size()); }, [&] { done.set_value(0); });
    const std::size_t items = done.get_future().get();
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin);
    // The last thread still frees the list after handing it over.
    threads.workers.waitIdle(std::chrono::seconds(10));
    const std::size_t requests = sim.requests().size();
    std::printf("%s run=%d items=%zu requests=%zu sequential=%zu connections=%d connections_allowed=%d wall_ms=%.1f "
                "client_cpu_ms=%.1f\n",
                name, run, items, requests, sequential(items, requests), sim.connections() - connectionsBefore,
                connectionsAllowed, elapsed.count(), threads.cpuMs.load());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const int users = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int records = argc > 2 ? std::atoi(argv[2]) : 50000;
    // Where the kernel cannot delay loopback packets, the simulator delays each answer instead.
    const int answerDelayMs = argc > 3 ? std::atoi(argv[3]) : 0;
    const int runs = argc > 4 ? std::atoi(argv[4]) : 1;

    kintonesim::SimulatorOptions options;
    options.sampleData = false;
    kintonesim::KintoneSimulator sim(options);
    sim.addUsers(users);
    const int app = sim.addApp(Json::parse(R"({"氏名":{"type":"SINGLE_LINE_TEXT","code":"氏名","label":"氏名"}})"));
    for (int i = 0; i < records; ++i)
        sim.addRecord(app, Json{{"氏名", {{"value", "社員 " + std::to_string(i + 1)}}}});

    if (answerDelayMs > 0) {
        kintonesim::FaultRule delay;
        delay.fault.kind = kintonesim::Fault::Kind::Delay;
        delay.fault.delay = std::chrono::milliseconds(answerDelayMs);
        sim.addFault(delay);
        std::printf("answer delay: %d ms per request\n", answerDelayMs);
    }

    ClientThreads threads;
    TransportOptions transport;
    transport.caFile = sim.caFile().string();
    transport.connectTo = sim.connectTo();
    transport.startThread = threads.starter();
    Kintone kintone(std::make_shared<InlineQueue>(), std::make_shared<PrintingAlert>(), transport);
    const std::string auth = kintonesim::SimulatorOptions().authCodes.front();

    const Connection connection{"bench", "com", std::to_string(app), auth, {}};
    for (int run = 1; run <= runs; ++run) {
        // Pages of 100 up to the first short one; those asked for ahead past it are not needed.
        const Sequential userPages = [](std::size_t items, std::size_t) { return items / 100 + 1; };
        measure("users", run, sim, threads, userPages, Kintone::usersLookAhead,
                [&](Kintone::Success success, Kintone::Failure failure) {
                    kintone.getUsers(0, Kintone::usersPrefix(connection), 100, auth, {}, failure,
                                     std::make_shared<Json>(Json::array()), success);
                });
        const Sequential cursorRequests = [](std::size_t, std::size_t requests) { return requests; };
        measure("records", run, sim, threads, cursorRequests, 1,
                [&](Kintone::Success success, Kintone::Failure failure) {
                    kintone.getRecords(connection, "", "", success, failure);
                });
    }
    return 0;
}

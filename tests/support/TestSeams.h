#pragma once

#include "app/MainQueue.h"
#include "kintone/Kintone.h"
#include "widgets/Alert.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace stampo::test {

using namespace std::chrono_literals;
inline constexpr auto deadline = 30s;

// A main queue with a thread of its own that runs the queued work in order, like a GUI main thread.
class ThreadMainQueue final : public MainQueue {
public:
    ThreadMainQueue();
    ~ThreadMainQueue() override;

    void async(std::function<void()> work) override;
    std::thread::id threadId() const { return m_thread.get_id(); }

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    std::thread m_thread;
};

// Records every alert text, and the thread it was shown on.
class RecordingAlert final : public Alert {
public:
    void show(const std::string& message) override;

    std::vector<std::string> messages() const;
    // Waits until at least `count` alerts were shown; false at the deadline.
    bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = deadline) const;
    std::vector<std::thread::id> threads() const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_messages;
    std::vector<std::thread::id> m_threads;
};

// Records how a request ended: which continuations were called, how often, on which thread, with what.
class Outcome final {
public:
    Kintone::Success success();
    Kintone::Failure failure();

    // Waits for the first continuation call; false at the deadline.
    bool wait(std::chrono::milliseconds timeout = deadline) const;
    int successes() const;
    int failures() const;
    std::optional<Kintone::Json> result() const;
    std::thread::id thread() const;

private:
    void record(bool success, const Kintone::Json* result);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    int m_successes = 0;
    int m_failures = 0;
    std::optional<Kintone::Json> m_result;
    std::thread::id m_thread;
};

} // namespace stampo::test

#pragma once

#include "Alert.h"
#include "MainQueue.h"
#include "kintone/Kintone.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace stampo::test {

using namespace std::chrono_literals;
inline constexpr auto deadline = 30s;

// State shared between threads: changed under its mutex, read as copies, waited for with a deadline.
class Monitor {
public:
    // Notifies under the lock: a waiter that sees the change may destroy the monitor as soon as it gets the lock.
    template <typename Change> void change(Change change) {
        std::lock_guard lock(m_mutex);
        change();
        m_changed.notify_all();
    }
    template <typename T> T read(const T& member) const {
        std::lock_guard lock(m_mutex);
        return member;
    }
    template <typename Predicate> bool waitUntil(Predicate predicate) const {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, deadline, predicate);
    }

protected:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
};

// A main queue with a thread of its own that runs the queued work in order, like a GUI main thread.
class ThreadMainQueue final : public MainQueue, Monitor {
public:
    ~ThreadMainQueue() override {
        change([this] { m_stopping = true; });
        m_thread.join();
    }
    void async(std::function<void()> work) override {
        change([&] { m_work.push_back(std::move(work)); });
    }
    // Waits until the work queued so far has run.
    bool drain() {
        auto ran = std::make_shared<std::promise<void>>();
        async([ran] { ran->set_value(); });
        return ran->get_future().wait_for(deadline) == std::future_status::ready;
    }
    std::thread::id threadId() const { return m_thread.get_id(); }

private:
    std::deque<std::function<void()>> m_work;
    bool m_stopping = false;
    std::thread m_thread{[this] {
        for (std::unique_lock lock(m_mutex);; lock.lock()) {
            m_changed.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            if (m_work.empty())
                return;
            auto work = std::move(m_work.front());
            m_work.pop_front();
            lock.unlock();
            work();
        }
    }};
};

// Records every alert text, and the thread it was shown on.
class RecordingAlert final : public Alert, Monitor {
public:
    void show(const std::string& message) override {
        change([&] {
            m_messages.push_back(message);
            m_threads.push_back(std::this_thread::get_id());
        });
    }
    std::vector<std::string> messages() const { return read(m_messages); }
    std::vector<std::thread::id> threads() const { return read(m_threads); }
    // Waits until at least `count` alerts were shown; false at the deadline.
    bool waitForCount(std::size_t count) const {
        return waitUntil([&] { return m_messages.size() >= count; });
    }

private:
    std::vector<std::string> m_messages;
    std::vector<std::thread::id> m_threads;
};

// Records how a request ended: which continuations were called, how often, on which thread, with what.
class Outcome final : Monitor {
public:
    using Cause = std::optional<Kintone::FailureCause>;
    Kintone::Success success() {
        return [this](const Kintone::Json& result) { record(m_successes, result); };
    }
    Kintone::Failure failure() {
        return [this] { record(m_failures); };
    }
    Kintone::FailureWithCause failureWithCause() {
        return [this](Kintone::FailureCause cause) { record(m_failures, nullptr, cause); };
    }

    // Waits for the first continuation call; false at the deadline.
    bool wait() const {
        return waitUntil([&] { return m_successes + m_failures > 0; });
    }
    int successes() const { return read(m_successes); }
    int failures() const { return read(m_failures); }
    Kintone::Json result() const { return read(m_result); }
    Cause cause() const { return read(m_cause); }
    std::thread::id thread() const { return read(m_thread); }

private:
    void record(int& calls, const Kintone::Json& result = nullptr, Cause cause = std::nullopt) {
        change([&] {
            ++calls;
            m_result = result;
            m_cause = cause;
            m_thread = std::this_thread::get_id();
        });
    }

    int m_successes = 0, m_failures = 0;
    Kintone::Json m_result;
    Cause m_cause;
    std::thread::id m_thread;
};

} // namespace stampo::test

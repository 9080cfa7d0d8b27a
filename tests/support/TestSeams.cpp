#include "support/TestSeams.h"

namespace stampo::test {

ThreadMainQueue::ThreadMainQueue()
    : m_thread([this] {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            if (m_work.empty())
                return;
            auto work = std::move(m_work.front());
            m_work.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
    }) {}

ThreadMainQueue::~ThreadMainQueue() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void ThreadMainQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back(std::move(work));
    }
    m_wake.notify_all();
}

void RecordingAlert::show(const std::string& message) {
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
        m_threads.push_back(std::this_thread::get_id());
    }
    m_changed.notify_all();
}

std::vector<std::string> RecordingAlert::messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<std::thread::id> RecordingAlert::threads() const {
    std::lock_guard lock(m_mutex);
    return m_threads;
}

bool RecordingAlert::waitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_messages.size() >= count; });
}

Kintone::Success Outcome::success() {
    return [this](const Kintone::Json& result) { record(true, &result); };
}

Kintone::Failure Outcome::failure() {
    return [this] { record(false, nullptr); };
}

void Outcome::record(bool success, const Kintone::Json* result) {
    {
        std::lock_guard lock(m_mutex);
        (success ? m_successes : m_failures)++;
        if (result)
            m_result = *result;
        m_thread = std::this_thread::get_id();
    }
    m_changed.notify_all();
}

bool Outcome::wait(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_successes + m_failures > 0; });
}

int Outcome::successes() const {
    std::lock_guard lock(m_mutex);
    return m_successes;
}

int Outcome::failures() const {
    std::lock_guard lock(m_mutex);
    return m_failures;
}

std::optional<Kintone::Json> Outcome::result() const {
    std::lock_guard lock(m_mutex);
    return m_result;
}

std::thread::id Outcome::thread() const {
    std::lock_guard lock(m_mutex);
    return m_thread;
}

} // namespace stampo::test

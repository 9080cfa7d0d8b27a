// The kintone client's answer handling fed arbitrary answers, without a network. The first byte picks the request
// ('0' to '4', modulo 5: record add, record update, form fields, users, records through a cursor); every line after the
// first is one answer, "STATUS BODY". Once the lines have run out, requests get no answer (a transport failure).
#include "Invariant.h"
#include "app/MainQueue.h"
#include "kintone/Kintone.h"
#include "kintone/Transport.h"
#include "widgets/Alert.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace {

using stampo::Kintone;
using Json = Kintone::Json;

// The client's worker threads and main queue, run one after another on this thread once the call has returned.
std::deque<std::function<void()>> pending;

class DeferredQueue final : public stampo::MainQueue {
public:
    void async(std::function<void()> work) override { pending.push_back(std::move(work)); }
};

class CountingAlert final : public stampo::Alert {
public:
    void show(const std::string& message) override {
        require(!message.empty());
        ++shown;
    }
    int shown = 0;
};

class ScriptedTransport final : public stampo::Transport {
public:
    ScriptedTransport()
        : Transport(deferredThreads()) {}

    void load(std::string_view answers) { m_answers = answers; }
    bool unanswered() const { return m_unanswered; }

    stampo::HttpResponse perform(CURL*, const stampo::HttpRequest&, const stampo::ProxySettings&) const override {
        stampo::HttpResponse response;
        m_unanswered = m_answers.empty();
        if (m_unanswered) {
            response.curlCode = CURLE_COULDNT_CONNECT;
            return response;
        }
        const std::string_view line = m_answers.substr(0, m_answers.find('\n'));
        m_answers.remove_prefix(std::min(m_answers.size(), line.size() + 1));
        const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), response.status);
        if (error != std::errc())
            response.status = 0;
        const std::string_view rest = line.substr(static_cast<std::size_t>(end - line.data()));
        response.body = rest.substr(rest.empty() ? 0 : 1);
        return response;
    }

private:
    static stampo::TransportOptions deferredThreads() {
        stampo::TransportOptions options;
        options.startThread = [](std::function<void()> work) {
            pending.push_back(std::move(work));
            return true;
        };
        return options;
    }

    mutable std::string_view m_answers;
    mutable bool m_unanswered = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto transport = std::make_shared<ScriptedTransport>();
    static const auto alert = std::make_shared<CountingAlert>();
    static const Kintone client(std::make_shared<DeferredQueue>(), alert, transport);
    constexpr const char* auth = "dXNlcjpwYXNzd29yZA==";
    if (size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto firstLineEnd = input.find('\n');
    transport->load(firstLineEnd == std::string_view::npos ? std::string_view() : input.substr(firstLineEnd + 1));
    alert->shown = 0;

    int successes = 0;
    int failures = 0;
    Json result;
    std::optional<Kintone::FailureCause> cause;
    const auto succeed = [&](const Json& value) {
        ++successes;
        result = value;
    };
    const auto fail = [&] { ++failures; };
    const Json record{{"start", Kintone::fieldValue("DATETIME", "2024-04-01T09:00:00+09:00")}};
    const int kind = static_cast<std::uint8_t>(data[0] - '0') % 5;
    switch (kind) {
    case 0:
        client.addRecord("example", "com", "1", auth, "", "", "", "", record, succeed, fail);
        break;
    case 1:
        client.updateRecord("example", "com", "1", auth, "", "", "", "", "7", record, succeed,
                            [&](Kintone::FailureCause why) {
                                ++failures;
                                cause = why;
                            });
        break;
    case 2:
        client.getFormFields("example", "com", "1", auth, "", "", "", "", succeed, fail);
        break;
    case 3:
        // Pages of two, so that short inputs reach the paging.
        client.getUsers(0, Kintone::usersPrefix("example", "com"), 2, auth, "", "", "", "", fail, nullptr, succeed);
        break;
    default:
        client.getRecords("example", "com", "2", "", "", auth, "", "", "", "", succeed, fail);
        break;
    }
    while (!pending.empty()) {
        const auto work = std::move(pending.front());
        pending.pop_front();
        work();
    }

    require(successes + failures == 1);
    require(alert->shown == failures);
    if (successes == 1)
        require(kind <= 2 ? result.is_object() : result.is_array());
    if (kind == 1 && failures == 1)
        require(cause == (transport->unanswered() ? Kintone::FailureCause::NoAnswer : Kintone::FailureCause::Refused));
    return 0;
}

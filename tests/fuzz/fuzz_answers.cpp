// The kintone client's answer handling fed arbitrary answers, without a network. The first byte picks the request
// ('0' to '4', modulo 5: record add, record update, form fields, users, records through a cursor); every line after the
// first is one answer, "STATUS BODY". Once the lines have run out, requests get no answer (a transport failure).
#include "Invariant.h"
#include "app/MainQueue.h"
#include "kintone/Transport.h"
#include "widgets/Alert.h"

#include <charconv>
#include <deque>

namespace {

using stampo::Kintone;

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

    stampo::HttpResponse perform(CURL*, const stampo::HttpRequest&, const stampo::ProxySettings&) const override {
        stampo::HttpResponse response;
        unanswered = answers.empty();
        if (unanswered) {
            response.curlCode = CURLE_COULDNT_CONNECT;
            return response;
        }
        const std::string_view line = answers.substr(0, answers.find('\n'));
        answers.remove_prefix(std::min(answers.size(), line.size() + 1));
        // Without a number the status stays 0.
        const auto end = std::from_chars(line.data(), line.data() + line.size(), response.status).ptr;
        response.body = line.substr(std::min(line.size(), static_cast<std::size_t>(end - line.data()) + 1));
        return response;
    }

    mutable std::string_view answers;
    mutable bool unanswered = false;

private:
    static stampo::TransportOptions deferredThreads() {
        stampo::TransportOptions options;
        options.startThread = [](std::function<void()> work) {
            pending.push_back(std::move(work));
            return true;
        };
        return options;
    }
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
    transport->answers = firstLineEnd == std::string_view::npos ? std::string_view() : input.substr(firstLineEnd + 1);
    alert->shown = 0;

    int successes = 0, failures = 0;
    Json result;
    std::optional<Kintone::FailureCause> cause;
    const auto succeed = [&](const Json& value) {
        ++successes;
        result = value;
    };
    const auto fail = [&] { ++failures; };
    const Json record{{"start", Kintone::fieldValue("DATETIME", "2024-04-01T09:00:00+09:00")}};
    const int kind = static_cast<std::uint8_t>(data[0] - '0') % 5;
    if (kind == 0)
        client.addRecord("example", "com", "1", auth, "", "", "", "", record, succeed, fail);
    else if (kind == 1)
        client.updateRecord("example", "com", "1", auth, "", "", "", "", "7", record, succeed,
                            [&](Kintone::FailureCause why) {
                                cause = why;
                                fail();
                            });
    else if (kind == 2)
        client.getFormFields("example", "com", "1", auth, "", "", "", "", succeed, fail);
    else if (kind == 3) // pages of two, so that short inputs reach the paging
        client.getUsers(0, Kintone::usersPrefix("example", "com"), 2, auth, "", "", "", "", fail, nullptr, succeed);
    else
        client.getRecords("example", "com", "2", "", "", auth, "", "", "", "", succeed, fail);
    for (; !pending.empty(); pending.pop_front())
        pending.front()();

    require(successes + failures == 1);
    require(alert->shown == failures);
    if (successes == 1)
        require(kind <= 2 ? result.is_object() : result.is_array());
    if (kind == 1 && failures == 1)
        require(cause == (transport->unanswered ? Kintone::FailureCause::NoAnswer : Kintone::FailureCause::Refused));
    return 0;
}

// The kintone client's answer handling fed arbitrary answers, without a network. The first byte picks the request
// ('0' to '4', modulo 5: record add, record update, form fields, users, records through a cursor); every line after the
// first is one answer, "STATUS BODY", to the requests in the order they are sent, except that the users pages, which
// are asked for ahead, get the lines in page order. Once the lines have run out, requests get no answer (a transport
// failure).
#include "Alert.h"
#include "Invariant.h"
#include "MainQueue.h"
#include "kintone/Transport.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <deque>

using namespace stampo;

namespace {

constexpr std::size_t usersPageSize = 2; // so that short inputs reach the paging

// The client's worker threads and main queue, run one after another on this thread once the call has returned.
std::deque<std::function<void()>> pending;

class DeferredQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override { pending.push_back(std::move(work)); }
};

class CountingAlert final : public Alert {
public:
    void show(const std::string& message) override {
        require(!message.empty());
        ++shown;
    }
    int shown = 0;
};

// Takes the next answer off `answers`; no answer once they have run out.
HttpResponse nextAnswer(std::string_view& answers) {
    HttpResponse response;
    if (answers.empty()) {
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

// What reading users in pages of `usersPageSize` must come to, worked out page by page in page order from each
// answer as the client parses it: the users of all pages up to the first short one, or null when a page before it
// fails (no 200 with an object holding a list of users).
Json expectedUsers(std::string_view answers) {
    for (Json users = Json::array();;) {
        const HttpResponse answer = nextAnswer(answers);
        const auto body = KintoneAnswer::parse(answer.body);
        const bool ok = answer.curlCode == 0 && answer.status == 200 && body && body->is_object();
        const Json list = ok ? body->value("users", Json()) : Json();
        if (!list.is_array())
            return Json();
        users.insert(users.end(), list.begin(), list.end());
        if (list.size() != usersPageSize)
            return users;
    }
}

class ScriptedTransport final : public Transport {
public:
    ScriptedTransport()
        : Transport({.startThread = [](std::function<void()> work) {
            pending.push_back(std::move(work));
            return true;
        }}) {}

    HttpResponse perform(CURL*, const HttpRequest& request, const ProxySettings&) const override {
        std::size_t offset = 0;
        if (std::sscanf(request.url.c_str(), "https://example.cybozu.com/v1/users.json?offset=%zu", &offset) != 1)
            return nextAnswer(answers);
        std::string_view lines = answers;
        for (offset /= usersPageSize; offset > 0 && !lines.empty(); --offset)
            nextAnswer(lines);
        return nextAnswer(lines);
    }

    mutable std::string_view answers;
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
    // The lines after the first, if any.
    const std::string_view answers = input.substr(std::min(input.find('\n'), input.size() - 1) + 1);
    transport->answers = answers;
    alert->shown = 0;

    std::vector<Json> results; // one for each success
    int failures = 0;
    const auto succeed = [&](const Json& value) { results.push_back(value); };
    const auto fail = [&] { ++failures; };
    const Json record{{"start", Kintone::fieldValue("DATETIME", "2024-04-01T09:00:00+09:00")}};
    const int kind = static_cast<std::uint8_t>(data[0] - '0') % 5;
    const Connection connection{"example", "com", "1", auth, {}};
    if (kind == 0)
        client.addRecord(connection, record, succeed, fail);
    else if (kind == 1)
        client.updateRecord(connection, "7", record, succeed, [&](Kintone::FailureCause) { fail(); });
    else if (kind == 2)
        client.getFormFields(connection, succeed, fail);
    else if (kind == 3)
        client.getUsers(0, Kintone::usersPrefix(connection), int(usersPageSize), auth, {}, fail, nullptr, succeed);
    else
        client.getRecords(connection.forApp("2"), "", "", succeed, fail);
    for (; !pending.empty(); pending.pop_front())
        pending.front()();

    require(results.size() + failures == 1);
    require(alert->shown == failures);
    if (!results.empty())
        require(kind <= 2 ? results[0].is_object() : results[0].is_array());
    // Users pages answered in whatever order they were asked for are taken in page order.
    if (kind == 3) {
        const Json expected = expectedUsers(answers);
        require(expected.is_null() ? failures == 1 : results.size() == 1 && results[0] == expected);
    }
    return 0;
}

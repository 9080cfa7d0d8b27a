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
#include <cctype>
#include <charconv>
#include <deque>

namespace {

using stampo::Connection;
using stampo::Kintone;
using stampo::KintoneAnswer;

constexpr std::size_t usersPageSize = 2; // so that short inputs reach the paging

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

// Takes the next answer off `answers`; no answer once they have run out.
stampo::HttpResponse nextAnswer(std::string_view& answers) {
    stampo::HttpResponse response;
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

// The next answer's body, parsed as the client parses it, when it is a 200 with an object; an empty object otherwise.
Json nextObject(std::string_view& answers) {
    const stampo::HttpResponse answer = nextAnswer(answers);
    auto body = KintoneAnswer::parse(answer.body);
    return answer.curlCode == 0 && answer.status == 200 && body && body->is_object() ? *body : Json::object();
}

// What reading records through a cursor must come to, worked out page by page from each answer's parsed form: the
// records of all pages, or null when the read fails. None when the cursor's name is more than letters, digits and
// dashes, which the client may refuse as unfit for an address.
std::optional<Json> cursorRecords(std::string_view answers) {
    const Json id = nextObject(answers).value("id", Json());
    if (!id.is_string())
        return Json();
    const auto& name = id.get_ref<const std::string&>();
    if (name.empty() || !std::ranges::all_of(name, [](unsigned char c) { return std::isalnum(c) || c == '-'; }))
        return std::nullopt;
    for (Json records = Json::array();;) {
        const Json page = nextObject(answers), next = page.value("next", Json()), list = page.value("records", Json());
        if (!next.is_boolean() || !list.is_array() || (next.get<bool>() && list.empty()))
            return Json();
        records.insert(records.end(), list.begin(), list.end());
        if (!next.get<bool>())
            return records;
    }
}

// What reading users in pages of `usersPageSize` must come to, worked out page by page in page order: the users of all
// pages up to the first short one, or null when a page before it fails.
std::optional<Json> expectedUsers(std::string_view answers) {
    for (Json users = Json::array();;) {
        const Json list = nextObject(answers).value("users", Json());
        if (!list.is_array())
            return Json();
        users.insert(users.end(), list.begin(), list.end());
        if (list.size() != usersPageSize)
            return users;
    }
}

// Why an update that got `answer` failed: no answer; "not now" (429, any 5xx); refused, which only kintone's own error
// object ("code" and "message" texts) with another 4xx says; or an answer that is not kintone's.
Kintone::FailureCause expectedCause(const stampo::HttpResponse& answer) {
    if (answer.curlCode != 0)
        return Kintone::FailureCause::NoAnswer;
    const int status = answer.status;
    if (status == 429 || status >= 500)
        return Kintone::FailureCause::Unavailable;
    const Json body = KintoneAnswer::parse(answer.body).value_or(Json());
    const bool kintones =
        body.is_object() && body.value("code", Json()).is_string() && body.value("message", Json()).is_string();
    return status >= 400 && status < 500 && kintones ? Kintone::FailureCause::Refused
                                                     : Kintone::FailureCause::Unexpected;
}

class ScriptedTransport final : public stampo::Transport {
public:
    ScriptedTransport()
        : Transport({.startThread = [](std::function<void()> work) {
            pending.push_back(std::move(work));
            return true;
        }}) {}

    stampo::HttpResponse perform(CURL*, const stampo::HttpRequest& request,
                                 const stampo::ProxySettings&) const override {
        constexpr std::string_view usersPage = "users.json?offset=";
        const auto at = request.url.find(usersPage);
        if (at == std::string::npos) {
            lastAnswer = nextAnswer(answers);
            return lastAnswer;
        }
        std::size_t page = 0;
        std::from_chars(request.url.data() + at + usersPage.size(), request.url.data() + request.url.size(), page);
        page /= usersPageSize;
        std::string_view lines = answers;
        for (; page > 0 && !lines.empty(); --page)
            nextAnswer(lines);
        return nextAnswer(lines);
    }

    mutable std::string_view answers;
    // The answer to the last request other than a users page.
    mutable stampo::HttpResponse lastAnswer;
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
    transport->lastAnswer = {};
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
    const Connection connection{"example", "com", "1", auth, {}};
    if (kind == 0)
        client.addRecord(connection, record, succeed, fail);
    else if (kind == 1)
        client.updateRecord(connection, "7", record, succeed, [&](Kintone::FailureCause why) {
            cause = why;
            fail();
        });
    else if (kind == 2)
        client.getFormFields(connection, succeed, fail);
    else if (kind == 3)
        client.getUsers(0, Kintone::usersPrefix(connection), int(usersPageSize), auth, {}, fail, nullptr, succeed);
    else
        client.getRecords(connection.forApp("2"), "", "", succeed, fail);
    for (; !pending.empty(); pending.pop_front())
        pending.front()();

    require(successes + failures == 1);
    require(alert->shown == failures);
    if (successes == 1)
        require(kind <= 2 ? result.is_object() : result.is_array());
    if (kind == 1 && failures == 1)
        require(cause == expectedCause(transport->lastAnswer));
    // Cursor pages are judged before they are built: the verdict must be the built form's. Users pages answered in
    // whatever order they were asked for are taken in page order.
    if (const auto expected = kind == 3 ? expectedUsers(answers) : kind == 4 ? cursorRecords(answers) : std::nullopt)
        require(expected->is_null() ? failures == 1 : successes == 1 && result == *expected);
    return 0;
}

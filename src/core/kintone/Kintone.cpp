#include "kintone/Kintone.h"

#include "Alert.h"
#include "MainQueue.h"
#include "kintone/CursorPages.h"
#include "kintone/ErrorTexts.h"
#include "kintone/Session.h"
#include "kintone/Transport.h"
#include "kintone/UserPages.h"

#include <algorithm>
#include <optional>

namespace stampo {

struct Kintone::Context {
    std::shared_ptr<MainQueue> mainQueue;
    std::shared_ptr<Alert> alert;
    std::shared_ptr<const Transport> transport;
};

namespace {

using Json = Kintone::Json;

constexpr const char* serviceLabel = "cybozu";
constexpr const char* recordPath = "/k/v1/record.json";
constexpr const char* formFieldsPath = "/k/v1/app/form/fields.json";
constexpr const char* cursorPath = "/k/v1/records/cursor.json";
constexpr const char* usersPath = "/v1/users.json";
constexpr int cursorPageSize = 500;

// Whether an address a caller gives is exactly "https://" + the service host of some valid subdomain and region +
// `tail`, so that it can carry the auth code nowhere else.
bool isServiceAddress(const std::string& address, const std::string& tail) {
    const std::string scheme = "https://";
    if (address.rfind(scheme, 0) != 0 || address.size() < scheme.size() + tail.size() ||
        address.compare(address.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string host = address.substr(scheme.size(), address.size() - scheme.size() - tail.size());
    const std::string domain = std::string(".") + serviceLabel + ".";
    const auto at = host.find(domain);
    return at != std::string::npos && Connection::isHostLabel(host.substr(0, at)) &&
           Connection::isRegion(host.substr(at + domain.size()));
}

std::string authorizationHeader(const std::string& authCode) {
    // libcurl drops a header given as "Name:" with no value; "Name;" sends it empty.
    return authCode.empty() ? "X-Cybozu-Authorization;" : "X-Cybozu-Authorization: " + authCode;
}

HttpRequest readRequest(std::string url, const std::string& authCode) {
    return {"GET", std::move(url), {"Accept: application/json", authorizationHeader(authCode)}, std::nullopt};
}

// The common answer handling: the parsed answer of a status-200 answer, or the text to show and why it failed.
struct Answer {
    Json json;
    std::optional<std::string> problem;
    Kintone::FailureCause cause = Kintone::FailureCause::Unexpected;
};

// kintone's error object: {"code": "CB_VA01", "id": "...", "message": "..."}. A gateway or a proxy in between may
// answer JSON too, but not with kintone's error codes beside the message.
bool isKintoneError(const Json& answer) {
    if (!answer.is_object())
        return false;
    const auto code = answer.find("code");
    const auto message = answer.find("message");
    return code != answer.end() && code->is_string() && message != answer.end() && message->is_string();
}

Kintone::FailureCause causeOf(long status, const std::optional<Json>& parsed) {
    if (status == 429 || (status >= 500 && status < 600))
        return Kintone::FailureCause::Unavailable;
    if (status >= 400 && status < 500 && parsed && isKintoneError(*parsed))
        return Kintone::FailureCause::Refused;
    return Kintone::FailureCause::Unexpected;
}

Answer interpret(const HttpResponse& response) {
    if (response.curlCode != 0)
        return {{}, ErrorTexts::transport(response), Kintone::FailureCause::NoAnswer};
    std::optional<Json> parsed = KintoneAnswer::parse(response.body);
    const Kintone::FailureCause cause = causeOf(response.status, parsed);
    if (!parsed)
        return {{}, ErrorTexts::unreadableAnswer(response.status), cause};
    if (response.status != 200) {
        const auto message = parsed->is_object() ? parsed->find("message") : parsed->end();
        if (message != parsed->end() && message->is_string() && !message->get_ref<const std::string&>().empty())
            return {{}, message->get<std::string>(), cause};
        return {{}, ErrorTexts::httpStatus(response.status), cause};
    }
    return {std::move(*parsed), std::nullopt};
}

} // namespace

bool Kintone::startThread(std::function<void()> work) const {
    return m_context->transport->options().startThread(std::move(work));
}

Kintone::Kintone(std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert, TransportOptions options)
    : Kintone(std::move(mainQueue), std::move(alert), std::make_shared<const Transport>(std::move(options))) {}

Kintone::Kintone(std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert,
                 std::shared_ptr<const Transport> transport)
    : m_context(
          std::make_shared<const Context>(Context{std::move(mainQueue), std::move(alert), std::move(transport)})) {}

std::string Kintone::serviceBase(const std::string& subDomain, const std::string& topLevelDomain) {
    return "https://" + subDomain + "." + serviceLabel + "." + topLevelDomain;
}

std::string Kintone::usersPrefix(const Connection& connection) {
    return serviceBase(connection.subDomain, connection.topLevelDomain) + usersPath + "?offset=";
}

Kintone::Json Kintone::fieldValue(const std::string& fieldType, const std::string& text) {
    if (fieldType == "USER_SELECT")
        return Json{{"value", Json::array({Json{{"code", text}}})}};
    return Json{{"value", text}};
}

std::shared_ptr<Session> Kintone::makeSession(const ProxySettings& proxy) const {
    return std::make_shared<Session>(proxy, m_context->transport);
}

Kintone::FailureWithCause Kintone::ignoringCause(Failure failure) {
    return [failure = std::move(failure)](FailureCause) {
        if (failure)
            failure();
    };
}

void Kintone::reject(const std::string& message, FailureCause cause, const FailureWithCause& failure) const {
    m_context->mainQueue->async([alert = m_context->alert, message] { alert->show(message); });
    if (failure)
        failure(cause);
}

Kintone::Step Kintone::wholeAnswer(Success success, FailureWithCause failure) const {
    return [client = *this, success = std::move(success), failure = std::move(failure)](Json& answer) {
        if (!answer.is_object())
            return client.reject(ErrorTexts::unexpectedAnswer(), FailureCause::Unexpected, failure);
        if (success)
            success(answer);
    };
}

void Kintone::send(const std::shared_ptr<Session>& session, HttpRequest request, Step step,
                   FailureWithCause failure) const {
    const bool started =
        session->start(std::move(request), [client = *this, step = std::move(step), failure](const HttpResponse& r) {
            Answer answer = interpret(r);
            if (answer.problem)
                client.reject(*answer.problem, answer.cause, failure);
            else
                step(answer.json);
        });
    if (!started)
        reject(ErrorTexts::cannotStart(), FailureCause::NotSent, failure);
}

bool Kintone::refuses(const Connection& connection, bool appIdInAddress, const FailureWithCause& failure) const {
    const auto problem = connection.problem(appIdInAddress);
    if (problem)
        reject(*problem, FailureCause::NotSent, failure);
    return problem.has_value();
}

void Kintone::sendBody(const std::string& method, const Connection& connection, const std::string& path,
                       const std::shared_ptr<Session>& session, const Json& body, Step step,
                       FailureWithCause failure) const {
    std::string text;
    try {
        text = body.dump(2);
    } catch (const Json::exception&) {
        return reject(ErrorTexts::unserialisableBody(), FailureCause::NotSent, failure);
    }
    HttpRequest request{method,
                        serviceBase(connection.subDomain, connection.topLevelDomain) + path,
                        {"Content-Type: application/json", authorizationHeader(connection.authCode)},
                        std::move(text)};
    send(session, std::move(request), std::move(step), std::move(failure));
}

void Kintone::addRecord(const Connection& connection, const Json& record, Success success, Failure failure) const {
    const FailureWithCause fail = ignoringCause(std::move(failure));
    if (refuses(connection, false, fail))
        return;
    const Json body{{"app", connection.appId}, {"record", record}};
    sendBody("POST", connection, recordPath, makeSession(connection.proxy), body, wholeAnswer(std::move(success), fail),
             fail);
}

void Kintone::updateRecord(const Connection& connection, const std::string& recordId, const Json& record,
                           Success success, Failure failure) const {
    updateRecord(connection, recordId, record, std::move(success), ignoringCause(std::move(failure)));
}

void Kintone::updateRecord(const Connection& connection, const std::string& recordId, const Json& record,
                           Success success, FailureWithCause failure) const {
    if (refuses(connection, false, failure))
        return;
    const Json body{{"app", connection.appId}, {"id", recordId}, {"record", record}};
    sendBody("PUT", connection, recordPath, makeSession(connection.proxy), body,
             wholeAnswer(std::move(success), failure), failure);
}

void Kintone::getFormFields(const Connection& connection, Success success, Failure failure) const {
    const FailureWithCause fail = ignoringCause(std::move(failure));
    // The app id goes into the address.
    if (refuses(connection, true, fail))
        return;
    send(
        makeSession(connection.proxy),
        readRequest(serviceBase(connection.subDomain, connection.topLevelDomain) + formFieldsPath +
                        "?app=" + connection.appId,
                    connection.authCode),
        [client = *this, success, fail](Json& answer) {
            Json* properties = member(answer, "properties");
            if (!properties || !properties->is_object())
                return client.reject(ErrorTexts::unexpectedAnswer(), FailureCause::Unexpected, fail);
            if (success)
                success(*properties);
        },
        fail);
}

void Kintone::getUsers(int offset, const std::string& usersPrefix, int pageSize, const std::string& authCode,
                       const ProxySettings& proxy, Failure failure, std::shared_ptr<Json> users,
                       Success success) const {
    const FailureWithCause fail = ignoringCause(std::move(failure));
    if (!isServiceAddress(usersPrefix, std::string(usersPath) + "?offset="))
        return reject(ErrorTexts::invalidSubdomain(), FailureCause::NotSent, fail);
    if (!Connection::isHeaderSafe(authCode))
        return reject(ErrorTexts::invalidAuthCode(), FailureCause::NotSent, fail);
    if (const auto problem = Connection::proxyProblem(proxy))
        return reject(*problem, FailureCause::NotSent, fail);
    if (!users)
        users = std::make_shared<Json>(Json::array());
    if (!users->is_array())
        return reject(ErrorTexts::unexpectedAnswer(), FailureCause::NotSent, fail);
    const UserPages::Fetch fetch = [usersPrefix, pageSize, authCode](Session& lane, int pageOffset,
                                                                     UserPages::Done done) {
        const std::string url = usersPrefix + std::to_string(pageOffset) + "&size=" + std::to_string(pageSize);
        return lane.start(readRequest(url, authCode), [done = std::move(done)](const HttpResponse& r) {
            Answer answer = interpret(r);
            if (answer.problem)
                return done({.problem = *answer.problem, .cause = answer.cause});
            Json* page = member(answer.json, "users");
            if (!page || !page->is_array())
                return done({.problem = ErrorTexts::unexpectedAnswer(), .cause = FailureCause::Unexpected});
            done({.users = std::move(*page)});
        });
    };
    auto pages = std::make_shared<UserPages>(
        UserPages::Reader{offset, pageSize, usersLookAhead, fetch,
                          [client = *this, proxy] { return client.makeSession(proxy); }},
        std::move(users), std::move(success), [client = *this, fail](const std::string& message, FailureCause cause) {
            client.reject(message, cause, fail);
        });
    pages->start();
}

void Kintone::getRecords(const Connection& connection, const std::string& query, const std::string& order,
                         Success success, Failure failure) const {
    const FailureWithCause fail = ignoringCause(std::move(failure));
    if (refuses(connection, false, fail))
        return;
    const Json body{{"app", connection.appId},
                    {"query", query + " order by " + (order.empty() ? std::string("$id asc") : order)},
                    {"size", cursorPageSize}};
    const auto session = makeSession(connection.proxy);
    const std::string cursorAddress = serviceBase(connection.subDomain, connection.topLevelDomain) + cursorPath;
    sendBody(
        "POST", connection, cursorPath, session, body,
        [client = *this, cursorAddress, authCode = connection.authCode, session, fail, success](Json& answer) {
            const Json* id = member(answer, "id");
            if (!id || !id->is_string())
                return client.reject(ErrorTexts::unexpectedAnswer(), FailureCause::Unexpected, fail);
            client.readCursorPages(cursorAddress, id->get<std::string>(), authCode, session, fail, success);
        },
        fail);
}

void Kintone::readCursorPages(const std::string& cursorAddress, const std::string& cursorId,
                              const std::string& authCode, std::shared_ptr<Session> session, FailureWithCause failure,
                              Success success) const {
    // The id comes from the answer and goes into the address.
    if (cursorId.empty() || !Connection::isAddressSafe(cursorId))
        return reject(ErrorTexts::unexpectedAnswer(), FailureCause::Unexpected, failure);
    auto pages = std::make_shared<CursorPages>(
        std::make_shared<Json>(Json::array()), std::move(success),
        [client = *this, failure](const std::string& message, FailureCause cause) {
            client.reject(message, cause, failure);
        },
        m_context->transport->options().startThread);
    readCursorPage(cursorAddress + "?id=" + cursorId, authCode, std::move(session), std::move(pages));
}

void Kintone::readCursorPage(const std::string& url, const std::string& authCode, std::shared_ptr<Session> session,
                             std::shared_ptr<CursorPages> pages) const {
    const bool started = session->start(readRequest(url, authCode),
                                        [client = *this, url, authCode, session, pages](const HttpResponse& r) {
                                            if (r.curlCode != 0 || r.status != 200) {
                                                const Answer answer = interpret(r);
                                                return pages->fail(*answer.problem, answer.cause);
                                            }
                                            // The next page is asked for before this one is built.
                                            if (pages->take(r.body) == CursorPages::Next::Page)
                                                client.readCursorPage(url, authCode, session, pages);
                                        });
    if (!started)
        pages->fail(ErrorTexts::cannotStart(), FailureCause::NotSent);
}

} // namespace stampo

#pragma once

#include "kintone/Connection.h"
#include "kintone/HttpExchange.h"
#include "kintone/KintoneAnswer.h"
#include "kintone/TransportOptions.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace stampo {

class Alert;
class CursorPages;
class MainQueue;
class Session;
class Transport;

// The client of kintone's REST interface. Every operation returns at once; its requests run on worker threads of
// their own, and exactly one of the two continuations is called, on one of those threads. Failures are shown
// to the user by the client itself (an alert queued on the main queue) before failure is called.
// The client keeps no state between requests: connection data is passed to every operation anew.
class Kintone final {
public:
    using Json = KintoneAnswer::Json;
    using Success = KintoneAnswer::Success;
    using Failure = std::function<void()>;
    using FailureCause = KintoneAnswer::FailureCause;
    using FailureWithCause = std::function<void(FailureCause cause)>;

    Kintone(std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert,
            TransportOptions options = TransportOptions::fromEnvironment());
    // A client whose sessions send through `transport`.
    Kintone(std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<Alert> alert,
            std::shared_ptr<const Transport> transport);

    // Adds a record to the connection's app; success receives kintone's answer ({"id", "revision"}).
    void addRecord(const Connection& connection, const Json& record, Success success, Failure failure) const;
    // Changes the fields named in `record` of record `recordId`; success receives kintone's answer.
    void updateRecord(const Connection& connection, const std::string& recordId, const Json& record, Success success,
                      Failure failure) const;
    void updateRecord(const Connection& connection, const std::string& recordId, const Json& record, Success success,
                      FailureWithCause failure) const;

    // The value object of one field in a record body.
    static Json fieldValue(const std::string& fieldType, const std::string& text);

    // Success receives the connection's app's "properties" object, unchanged.
    void getFormFields(const Connection& connection, Success success, Failure failure) const;

    // Reads all users page by page from `offset` on, appending to `users`; success receives the whole list. While
    // pages come back full, up to usersLookAhead pages are asked for ahead, each on a connection of its own.
    void getUsers(int offset, const std::string& usersPrefix, int pageSize, const std::string& authCode,
                  const ProxySettings& proxy, Failure failure, std::shared_ptr<Json> users, Success success) const;

    // Users pages in flight at most, each on a connection of its own: a long list takes about a quarter of the round
    // trips of reading one page after another.
    static constexpr int usersLookAhead = 4;

    // Reads all records of the connection's app matching `query` (ordered by `order`, or "$id asc") through a cursor.
    void getRecords(const Connection& connection, const std::string& query, const std::string& order, Success success,
                    Failure failure) const;

    // Starts `work` on a thread of its own, as this client starts its requests' threads (so that whoever counts those
    // counts it too); false when none could be started.
    bool startThread(std::function<void()> work) const;

    // "https://SUBDOMAIN.cybozu.TLD"
    static std::string serviceBase(const std::string& subDomain, const std::string& topLevelDomain);
    // The users prefix getUsers takes: serviceBase + "/v1/users.json?offset="
    static std::string usersPrefix(const Connection& connection);

private:
    struct Context;

    std::shared_ptr<Session> makeSession(const ProxySettings& proxy) const;
    using Step = std::function<void(Json& answer)>;

    static FailureWithCause ignoringCause(Failure failure);
    // The success step of the writes: the whole answer object.
    Step wholeAnswer(Success success, FailureWithCause failure) const;

    void send(const std::shared_ptr<Session>& session, HttpRequest request, Step step, FailureWithCause failure) const;
    // True, after telling the user and calling failure, when `connection` must not be sent.
    bool refuses(const Connection& connection, bool appIdInAddress, const FailureWithCause& failure) const;
    void sendBody(const std::string& method, const Connection& connection, const std::string& path,
                  const std::shared_ptr<Session>& session, const Json& body, Step step, FailureWithCause failure) const;
    void readCursorPages(const std::string& cursorAddress, const std::string& cursorId, const std::string& authCode,
                         std::shared_ptr<Session> session, FailureWithCause failure, Success success) const;
    void readCursorPage(const std::string& url, const std::string& authCode, std::shared_ptr<Session> session,
                        std::shared_ptr<CursorPages> pages) const;
    void reject(const std::string& message, FailureCause cause, const FailureWithCause& failure) const;

    std::shared_ptr<const Context> m_context;
};

} // namespace stampo

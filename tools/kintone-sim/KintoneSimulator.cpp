#include "KintoneSimulator.h"

#include "Certificates.h"
#include "DataModel.h"
#include "HttpsServer.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <span>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>

namespace kintonesim {
namespace {

constexpr const char* host = "127.0.0.1";
constexpr const char* jsonContentType = "application/json; charset=utf-8";
// Enough that a few hung requests (each holding a worker) do not starve the others.
constexpr std::size_t workerThreads = 32;
// httplib closes a connection after 5 requests by default; a long paging chain must keep its connection.
constexpr std::size_t keepAliveRequests = 100000;
constexpr std::size_t maxOpenCursors = 10;
constexpr int maxCursorSize = 500;
constexpr int defaultCursorSize = 100;
constexpr int maxUsersSize = 100;

constexpr const char* invalidInput = "入力内容が正しくありません。";
constexpr const char* required = "必須です。";
constexpr const char* notANumber = "数字でなければなりません。";

// A directory the simulator made for itself, removed with it.
class OwnedDirectory final {
public:
    explicit OwnedDirectory(std::filesystem::path path)
        : m_path(std::move(path)) {}
    ~OwnedDirectory() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    OwnedDirectory(const OwnedDirectory&) = delete;
    OwnedDirectory& operator=(const OwnedDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

std::filesystem::path makeTemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stampo-kintone-sim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    return pattern;
}

struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = jsonContentType;
};

Answer jsonAnswer(const Json& body, int status = 200) {
    return {status, compact(body), jsonContentType};
}

// `{"NAME":[` + the items + `]` + rest + `}`, written straight from the stored items: a page of thousands of
// records is not copied into a JSON value first.
template <typename Items, typename Dump>
Answer listAnswer(const char* name, const Items& items, Dump dump, std::string_view rest = {}) {
    std::string text = std::string("{\"") + name + "\":[";
    for (const auto& item : items) {
        text += dump(item);
        text += ',';
    }
    if (text.back() == ',')
        text.pop_back();
    text += ']';
    text += rest;
    text += '}';
    return {200, std::move(text), jsonContentType};
}

void write(httplib::Response& response, Answer answer) {
    response.status = answer.status;
    response.body = std::move(answer.body);
    if (!answer.contentType.empty())
        response.set_header("Content-Type", answer.contentType);
}

// Announces the whole answer but sends only its first half, then fails so that httplib drops the connection.
void writeTruncated(httplib::Response& response, const Answer& answer) {
    response.status = answer.status;
    response.set_content_provider(answer.body.size(), answer.contentType,
                                  [body = answer.body](std::size_t, std::size_t, httplib::DataSink& sink) {
                                      sink.write(body.data(), body.size() / 2);
                                      return false;
                                  });
}

// kintone's "errors" member naming one parameter.
Json parameterError(const std::string& key, const std::string& message) {
    Json errors = Json::object();
    errors[key]["messages"] = Json::array({message});
    return errors;
}

Json parameter(const httplib::Request& request, const char* name) {
    return request.has_param(name) ? Json(request.get_param_value(name)) : Json();
}

bool hasUser(const Json& users, const std::string& code) {
    return std::any_of(users.begin(), users.end(), [&](const Json& user) {
        const auto found = user.find("code");
        return found != user.end() && *found == code;
    });
}

// Why kintone refuses this value for a field of that type; empty when it takes it.
std::string refusal(const std::string& type, const Json& field, const Json& users) {
    static const std::regex dateTime(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}(:\d{2}(\.\d{1,3})?)?(Z|[+-]\d{2}:\d{2})?)");
    static const std::regex number(R"(-?\d+(\.\d+)?)");
    if (!field.is_object())
        return "値が不正です。";
    const Json value = member(field, "value");
    const auto isEmptyOr = [&value](const std::regex& pattern) {
        return value.is_string() && (value.get_ref<const std::string&>().empty() ||
                                     std::regex_match(value.get_ref<const std::string&>(), pattern));
    };
    if (value.is_null())
        return {};
    if (type == "DATETIME" && !isEmptyOr(dateTime))
        return "日時の形式が正しくありません。";
    if (type == "NUMBER" && !value.is_number() && !isEmptyOr(number))
        return notANumber;
    if (type == "USER_SELECT") {
        if (!value.is_array())
            return "値が不正です。";
        for (const auto& entry : value) {
            const Json code = member(entry, "code");
            if (!code.is_string())
                return "値が不正です。";
            if (!hasUser(users, code.get<std::string>()))
                return "指定したユーザー（code: " + code.get<std::string>() + "）が見つかりません。";
        }
    }
    return {};
}

struct CheckedRecord {
    Json fields = Json::object(); // the given fields the app has
    Json errors = Json::object(); // kintone's "errors" member; empty when every value is taken
};

// Keeps the fields the app has (kintone ignores unknown field codes) and checks their values.
CheckedRecord checkRecord(const Json& properties, const Json& record, const Json& users) {
    CheckedRecord checked;
    for (const auto& [code, field] : record.items()) {
        const auto property = properties.find(code);
        if (property == properties.end())
            continue;
        const Json type = member(*property, "type");
        const std::string reason = refusal(type.is_string() ? type.get<std::string>() : "", field, users);
        if (reason.empty())
            checked.fields[code] = field;
        else
            checked.errors["record." + code + ".value"]["messages"] = Json::array({reason});
    }
    return checked;
}

// A record as a cursor page shows it: with "$revision", and only the asked-for fields when `fields` lists some.
Json cursorRecord(const StoredRecord& stored, const Json& fields) {
    Json record = stored.fields;
    record["$revision"] = Json{{"type", "__REVISION__"}, {"value", std::to_string(stored.revision)}};
    if (!fields.is_array())
        return record;
    Json picked = Json::object();
    for (const auto& code : fields)
        if (code.is_string() && record.contains(code.get<std::string>()))
            picked[code.get<std::string>()] = record[code.get<std::string>()];
    return picked;
}

} // namespace

class KintoneSimulator::Impl final {
public:
    explicit Impl(SimulatorOptions options);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    std::uint16_t port() const { return m_port; }
    const std::filesystem::path& caFile() const { return m_caFile; }
    DataModel& data() { return m_data; }
    const DataModel& data() const { return m_data; }

    void addFault(FaultRule rule);
    void clearFaults();
    void releaseHangs();

    std::vector<RecordedRequest> requests() const;
    void clearRequests();
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    int connections() const { return m_server.acceptedConnections(); }
    int handshakes() const { return static_cast<int>(SSL_CTX_sess_accept_good(m_server.ssl_context())); }
    int resumedHandshakes() const { return static_cast<int>(SSL_CTX_sess_hits(m_server.ssl_context())); }

private:
    using Endpoint = Answer (Impl::*)(const httplib::Request&, const Json&, Data&);

    void serve(const httplib::Request& request, httplib::Response& response);
    void answer(const httplib::Request& request, const RecordedRequest& recorded, const std::optional<Fault>& fault,
                std::chrono::steady_clock::time_point arrived, std::unique_lock<std::mutex>& lock,
                httplib::Response& response);
    Answer respond(const httplib::Request& request, const RecordedRequest& recorded);

    Answer addRecordAnswer(const httplib::Request& request, const Json& body, Data& data);
    Answer updateRecordAnswer(const httplib::Request& request, const Json& body, Data& data);
    Answer formFieldsAnswer(const httplib::Request& request, const Json& body, Data& data);
    Answer usersAnswer(const httplib::Request& request, const Json& body, Data& data);
    Answer createCursorAnswer(const httplib::Request& request, const Json& body, Data& data);
    Answer readCursorAnswer(const httplib::Request& request, const Json& body, Data& data);
    Answer deleteCursorAnswer(const httplib::Request& request, const Json& body, Data& data);

    Answer error(int status, const char* code, const std::string& message, const Json& errors = Json());
    Answer invalid(const std::string& parameter, const std::string& message);
    std::variant<App*, Answer> findApp(Data& data, const Json& id);
    std::string randomText(std::string_view alphabet, std::size_t length);

    DataModel m_data;
    const std::vector<std::string> m_authCodes;
    const OwnedDirectory m_ownedDirectory;
    const std::filesystem::path m_caFile;
    const Certificates m_certificates;
    HttpsServer m_server;
    std::uint16_t m_port = 0;
    std::thread m_listener;

    mutable std::mutex m_mutex;
    // Signalled when the server is ready, a request is recorded, hangs are released or the simulator stops.
    mutable std::condition_variable m_changed;
    bool m_ready = false;
    bool m_stopping = false;
    std::uint64_t m_hangReleases = 0;
    FaultPlan m_faults;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::string> m_handled; // the queries of the requests handled since they were last cleared
    std::mt19937_64 m_random{std::random_device{}()};
};

KintoneSimulator::Impl::Impl(SimulatorOptions options)
    : m_data(options.sampleData ? sampleData() : Json::object())
    , m_authCodes(std::move(options.authCodes))
    , m_ownedDirectory(options.certificateDirectory.empty() ? makeTemporaryDirectory() : std::filesystem::path())
    , m_caFile((options.certificateDirectory.empty() ? m_ownedDirectory.path() : options.certificateDirectory) /
               "ca.pem")
    , m_certificates(options.certificateNames,
                     options.expiredCertificate ? Certificates::expiredValidity : Certificates::usualValidity)
    , m_server(m_certificates.serverCertificate(), m_certificates.serverKey()) {
    if (!m_server.is_valid())
        throw std::runtime_error("kintone simulator: the TLS context cannot be set up");
    SSL_CTX* context = m_server.ssl_context();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A client that resumes its session must be able to, so that resumedHandshakes() sees it.
    static constexpr unsigned char sessionContext[] = "stampo-kintone-sim";
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(context, sessionContext, sizeof sessionContext - 1);

    std::filesystem::create_directories(m_caFile.parent_path());
    std::ofstream caOut(m_caFile, std::ios::binary | std::ios::trunc);
    caOut << m_certificates.caPem();
    caOut.close();
    if (!caOut)
        throw std::runtime_error("kintone simulator: cannot write " + m_caFile.string());

    const httplib::Server::Handler handler = [this](const httplib::Request& request, httplib::Response& response) {
        serve(request, response);
    };
    m_server.Get(".*", handler).Post(".*", handler).Put(".*", handler).Patch(".*", handler);
    m_server.Delete(".*", handler).Options(".*", handler);
    m_server.set_keep_alive_max_count(keepAliveRequests);
    // httplib writes the head and the body of an answer separately; Nagle would hold the body back for an ACK.
    m_server.set_tcp_nodelay(true);
    // httplib makes its task queue on the listening thread once it is running: the sign that the server is ready.
    m_server.new_task_queue = [this] {
        {
            const std::scoped_lock lock(m_mutex);
            m_ready = true;
        }
        m_changed.notify_all();
        return new httplib::ThreadPool(workerThreads);
    };

    const int port = options.port == 0 ? m_server.bind_to_any_port(host)
                                       : (m_server.bind_to_port(host, options.port) ? options.port : -1);
    if (port <= 0)
        throw std::runtime_error("kintone simulator: cannot listen on " + std::string(host) + ":" +
                                 std::to_string(options.port));
    m_port = static_cast<std::uint16_t>(port);
    m_listener = std::thread([this] { m_server.listen_after_bind(); });
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_ready; });
}

KintoneSimulator::Impl::~Impl() {
    {
        const std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_server.stopNow();
    m_listener.join();
}

void KintoneSimulator::Impl::addFault(FaultRule rule) {
    const std::scoped_lock lock(m_mutex);
    m_faults.add(std::move(rule));
}

void KintoneSimulator::Impl::clearFaults() {
    const std::scoped_lock lock(m_mutex);
    m_faults.clear();
}

void KintoneSimulator::Impl::releaseHangs() {
    {
        const std::scoped_lock lock(m_mutex);
        ++m_hangReleases;
    }
    m_changed.notify_all();
}

std::vector<RecordedRequest> KintoneSimulator::Impl::requests() const {
    const std::scoped_lock lock(m_mutex);
    return m_requests;
}

void KintoneSimulator::Impl::clearRequests() {
    const std::scoped_lock lock(m_mutex);
    m_requests.clear();
    m_handled.clear();
}

bool KintoneSimulator::Impl::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void KintoneSimulator::Impl::serve(const httplib::Request& request, httplib::Response& response) {
    const auto arrived = HttpsServer::requestArrived();
    RecordedRequest recorded;
    recorded.method = request.method;
    const auto question = request.target.find('?');
    recorded.path = request.target.substr(0, question);
    recorded.query = question == std::string::npos ? "" : request.target.substr(question + 1);
    for (auto& [name, value] : HttpsServer::receivedHeaders())
        recorded.headers.emplace(std::move(name), std::move(value));
    recorded.body = request.body;
    recorded.remoteAddress = request.remote_addr;
    recorded.remotePort = request.remote_port;

    std::unique_lock lock(m_mutex);
    m_requests.push_back(recorded);
    m_changed.notify_all();
    const std::optional<Fault> fault = m_faults.match(recorded);
    if (fault && !fault->after.empty()) {
        m_changed.wait(lock, [&] {
            return m_stopping || std::ranges::any_of(m_handled, [&](const std::string& query) {
                       return query.find(fault->after) != std::string::npos;
                   });
        });
    }
    answer(request, recorded, fault, arrived, lock, response);
    lock.lock();
    m_handled.push_back(recorded.query);
    m_changed.notify_all();
}

// Called with the lock that recorded the request still held, so that a hang sees every release made after the request
// was seen arriving; returns with it released.
void KintoneSimulator::Impl::answer(const httplib::Request& request, const RecordedRequest& recorded,
                                    const std::optional<Fault>& fault, std::chrono::steady_clock::time_point arrived,
                                    std::unique_lock<std::mutex>& lock, httplib::Response& response) {
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::Answer:
            lock.unlock();
            write(response, {fault->status, fault->body, fault->contentType});
            return;
        case Fault::Kind::Delay: {
            // The answer is made while it is held back, so that the simulator's own work does not add to the delay.
            Answer answer = respond(request, recorded);
            m_changed.wait_until(lock, arrived + fault->delay, [this] { return m_stopping; });
            lock.unlock();
            write(response, std::move(answer));
            return;
        }
        case Fault::Kind::Hang: {
            const auto releases = m_hangReleases;
            m_changed.wait(lock, [&] { return m_stopping || m_hangReleases != releases; });
            lock.unlock();
            HttpsServer::cutConnection();
            return;
        }
        case Fault::Kind::Cut:
            lock.unlock();
            HttpsServer::cutConnection();
            return;
        case Fault::Kind::Drop: {
            const Answer answer = respond(request, recorded);
            lock.unlock();
            writeTruncated(response, answer);
            return;
        }
        }
    }
    Answer answer = respond(request, recorded);
    lock.unlock();
    write(response, std::move(answer));
}

Answer KintoneSimulator::Impl::respond(const httplib::Request& request, const RecordedRequest& recorded) {
    struct Route {
        const char* method;
        const char* path;
        bool jsonBody;
        Endpoint endpoint;
    };
    static constexpr Route routes[] = {
        {"POST", "/k/v1/record.json", true, &Impl::addRecordAnswer},
        {"PUT", "/k/v1/record.json", true, &Impl::updateRecordAnswer},
        {"GET", "/k/v1/app/form/fields.json", false, &Impl::formFieldsAnswer},
        {"GET", "/v1/users.json", false, &Impl::usersAnswer},
        {"POST", "/k/v1/records/cursor.json", true, &Impl::createCursorAnswer},
        {"GET", "/k/v1/records/cursor.json", false, &Impl::readCursorAnswer},
        {"DELETE", "/k/v1/records/cursor.json", true, &Impl::deleteCursorAnswer},
    };

    if (!recorded.hasHeader("X-Cybozu-Authorization") ||
        std::ranges::find(m_authCodes, recorded.header("X-Cybozu-Authorization")) == m_authCodes.end())
        return error(
            401, "CB_WA01",
            "ユーザーのパスワード認証に失敗しました。「X-Cybozu-Authorization」ヘッダーの値が正しくありません。");
    const auto route = std::ranges::find_if(
        routes, [&](const Route& r) { return recorded.method == r.method && recorded.path == r.path; });
    if (route == std::end(routes))
        return error(404, "CB_NO02", "指定したAPIが見つかりません。");
    Json body;
    if (route->jsonBody) {
        body = Json::parse(recorded.body, nullptr, false);
        if (!body.is_object())
            return error(400, "CB_IJ01", "不正なJSON文字列です。");
    }
    return m_data.locked([&](Data& data) { return (this->*route->endpoint)(request, body, data); });
}

Answer KintoneSimulator::Impl::addRecordAnswer(const httplib::Request&, const Json& body, Data& data) {
    auto found = findApp(data, member(body, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    App& app = *std::get<App*>(found);
    const Json record = body.value("record", Json::object());
    if (!record.is_object())
        return invalid("record", "値が不正です。");
    const CheckedRecord checked = checkRecord(app.properties, record, data.users);
    if (!checked.errors.empty())
        return error(400, "CB_VA01", invalidInput, checked.errors);
    const int id = app.add(checked.fields);
    return jsonAnswer(Json{{"id", std::to_string(id)}, {"revision", "1"}});
}

Answer KintoneSimulator::Impl::updateRecordAnswer(const httplib::Request&, const Json& body, Data& data) {
    auto found = findApp(data, member(body, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    App& app = *std::get<App*>(found);
    const Json idValue = member(body, "id");
    const auto id = parseCount(idValue);
    if (!id)
        return invalid("id", idValue.is_null() ? required : notANumber);
    const auto stored = app.records.find(*id);
    if (stored == app.records.end())
        return error(404, "GAIA_RE01", "指定したレコード（id: " + std::to_string(*id) + "）が見つかりません。");
    const Json record = body.value("record", Json::object());
    if (!record.is_object())
        return invalid("record", "値が不正です。");
    const CheckedRecord checked = checkRecord(app.properties, record, data.users);
    if (!checked.errors.empty())
        return error(400, "CB_VA01", invalidInput, checked.errors);
    for (const auto& [code, field] : checked.fields.items())
        stored->second.fields[code] = field;
    return jsonAnswer(Json{{"revision", std::to_string(++stored->second.revision)}});
}

Answer KintoneSimulator::Impl::formFieldsAnswer(const httplib::Request& request, const Json&, Data& data) {
    auto found = findApp(data, parameter(request, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    const App& app = *std::get<App*>(found);
    return jsonAnswer(Json{{"properties", app.properties}, {"revision", std::to_string(app.revision)}});
}

Answer KintoneSimulator::Impl::usersAnswer(const httplib::Request& request, const Json&, Data& data) {
    const Json offsetValue = parameter(request, "offset");
    const Json sizeValue = parameter(request, "size");
    const auto offset = offsetValue.is_null() ? 0 : parseCount(offsetValue);
    const auto size = sizeValue.is_null() ? maxUsersSize : parseCount(sizeValue);
    if (!offset)
        return invalid("offset", notANumber);
    if (!size)
        return invalid("size", notANumber);
    if (*size < 1 || *size > maxUsersSize)
        return invalid("size", "sizeは1以上" + std::to_string(maxUsersSize) + "以下である必要があります。");
    const auto& users = data.users.get_ref<const Json::array_t&>();
    const std::size_t first = std::min<std::size_t>(*offset, users.size());
    const std::size_t count = std::min<std::size_t>(*size, users.size() - first);
    return listAnswer("users", std::span(users).subspan(first, count), compact);
}

Answer KintoneSimulator::Impl::createCursorAnswer(const httplib::Request&, const Json& body, Data& data) {
    static const std::regex ascendingById(R"((^|\s)order\s+by\s+\$id\s+asc\s*$)", std::regex::icase);
    auto found = findApp(data, member(body, "app"));
    if (auto* refused = std::get_if<Answer>(&found))
        return *refused;
    const App& app = *std::get<App*>(found);
    const auto size = parseCount(body.value("size", Json(defaultCursorSize)));
    if (!size)
        return invalid("size", notANumber);
    if (*size < 1 || *size > maxCursorSize)
        return invalid("size", "1以上" + std::to_string(maxCursorSize) + "以下である必要があります。");
    const Json query = body.value("query", Json(""));
    if (!query.is_string())
        return invalid("query", "値が不正です。");
    if (data.cursors.size() >= maxOpenCursors)
        return error(400, "GAIA_TM12",
                     "作成できるカーソルの上限に達しているため、カーソルを作成できません。"
                     "不要なカーソルを削除するか、しばらく経ってから再実行してください。");

    // Conditions are not understood: every record matches. kintone's default order is by $id descending.
    Cursor cursor;
    cursor.app = parseCount(member(body, "app")).value_or(0); // findApp has accepted it
    cursor.pageSize = static_cast<std::size_t>(*size);
    cursor.fields = member(body, "fields");
    for (const auto& [id, stored] : app.records)
        cursor.ids.push_back(id);
    if (!std::regex_search(query.get<std::string>(), ascendingById))
        std::ranges::reverse(cursor.ids);
    const std::string total = std::to_string(cursor.ids.size());

    std::string id = randomText("0123456789abcdef", 32);
    for (const std::size_t dash : {20, 16, 12, 8})
        id.insert(dash, 1, '-');
    data.cursors.emplace(id, std::move(cursor));
    return jsonAnswer(Json{{"id", id}, {"totalCount", total}});
}

Answer KintoneSimulator::Impl::readCursorAnswer(const httplib::Request& request, const Json&, Data& data) {
    if (!request.has_param("id"))
        return invalid("id", required);
    const auto found = data.cursors.find(request.get_param_value("id"));
    if (found == data.cursors.end())
        return error(404, "GAIA_CU01", "指定したカーソルが見つかりません。");
    Cursor& cursor = found->second;
    const std::size_t end = std::min(cursor.ids.size(), cursor.next + cursor.pageSize);
    const auto app = data.apps.find(cursor.app);
    std::vector<const StoredRecord*> page;
    for (std::size_t i = cursor.next; app != data.apps.end() && i < end; ++i)
        if (const auto stored = app->second.records.find(cursor.ids[i]); stored != app->second.records.end())
            page.push_back(&stored->second);
    cursor.next = end;
    const bool more = end < cursor.ids.size();
    const auto dump = [&fields = cursor.fields](const StoredRecord* stored) {
        return compact(cursorRecord(*stored, fields));
    };
    Answer answer = listAnswer("records", page, dump, more ? R"(,"next":true)" : R"(,"next":false)");
    if (!more)
        data.cursors.erase(found);
    return answer;
}

Answer KintoneSimulator::Impl::deleteCursorAnswer(const httplib::Request&, const Json& body, Data& data) {
    const Json id = member(body, "id");
    if (!id.is_string())
        return invalid("id", required);
    if (data.cursors.erase(id.get<std::string>()) == 0)
        return error(404, "GAIA_CU01", "指定したカーソルが見つかりません。");
    return jsonAnswer(Json::object());
}

Answer KintoneSimulator::Impl::error(int status, const char* code, const std::string& message, const Json& errors) {
    Json body{{"code", code},
              {"id", randomText("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 20)},
              {"message", message}};
    if (!errors.is_null())
        body["errors"] = errors;
    return jsonAnswer(body, status);
}

Answer KintoneSimulator::Impl::invalid(const std::string& parameter, const std::string& message) {
    return error(400, "CB_VA01", invalidInput, parameterError(parameter, message));
}

std::variant<App*, Answer> KintoneSimulator::Impl::findApp(Data& data, const Json& id) {
    const auto app = parseCount(id);
    if (!app)
        return invalid("app", id.is_null() ? required : notANumber);
    const auto found = data.apps.find(*app);
    if (found == data.apps.end())
        return error(404, "GAIA_AP01",
                     "指定したアプリ（id: " + std::to_string(*app) +
                         "）が見つかりません。削除されている可能性があります。");
    return &found->second;
}

std::string KintoneSimulator::Impl::randomText(std::string_view alphabet, std::size_t length) {
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length, ' ');
    for (auto& c : text)
        c = alphabet[pick(m_random)];
    return text;
}

KintoneSimulator::KintoneSimulator(SimulatorOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options))) {}

KintoneSimulator::~KintoneSimulator() = default;

std::uint16_t KintoneSimulator::port() const {
    return m_impl->port();
}
std::filesystem::path KintoneSimulator::caFile() const {
    return m_impl->caFile();
}
std::string KintoneSimulator::connectTo() const {
    return std::string(host) + ":" + std::to_string(port());
}

void KintoneSimulator::loadData(const Json& data) {
    m_impl->data().loadData(data);
}
int KintoneSimulator::addApp(const Json& properties) {
    return m_impl->data().addApp(properties);
}
void KintoneSimulator::setFormFields(int app, const Json& properties) {
    m_impl->data().setFormFields(app, properties);
}
int KintoneSimulator::addRecord(int app, const Json& record) {
    return m_impl->data().addRecord(app, record);
}
Json KintoneSimulator::record(int app, int id) const {
    return m_impl->data().record(app, id);
}
std::vector<Json> KintoneSimulator::records(int app) const {
    return m_impl->data().records(app);
}
void KintoneSimulator::setUsers(const Json& users) {
    m_impl->data().setUsers(users);
}
void KintoneSimulator::addUsers(int count) {
    m_impl->data().addUsers(count);
}
int KintoneSimulator::openCursors() const {
    return m_impl->data().openCursors();
}

void KintoneSimulator::addFault(FaultRule rule) {
    m_impl->addFault(std::move(rule));
}
void KintoneSimulator::clearFaults() {
    m_impl->clearFaults();
}
void KintoneSimulator::releaseHangs() {
    m_impl->releaseHangs();
}

std::vector<RecordedRequest> KintoneSimulator::requests() const {
    return m_impl->requests();
}

std::vector<RecordedRequest> KintoneSimulator::requests(const std::string& method, const std::string& path) const {
    auto all = m_impl->requests();
    std::erase_if(all, [&](const RecordedRequest& r) { return r.method != method || r.path != path; });
    return all;
}

void KintoneSimulator::clearRequests() {
    m_impl->clearRequests();
}

bool KintoneSimulator::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    return m_impl->waitForRequests(count, timeout);
}

int KintoneSimulator::connections() const {
    return m_impl->connections();
}
int KintoneSimulator::handshakes() const {
    return m_impl->handshakes();
}
int KintoneSimulator::resumedHandshakes() const {
    return m_impl->resumedHandshakes();
}

} // namespace kintonesim

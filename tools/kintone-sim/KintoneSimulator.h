#pragma once

#include "FaultPlan.h"
#include "Json.h"
#include "RecordedRequest.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kintonesim {

struct SimulatorOptions {
    // Names the server certificate is issued for (subjectAltName DNS entries).
    std::vector<std::string> certificateNames{"*.cybozu.com", "*.cybozu.cn"};
    // Accepted "X-Cybozu-Authorization" values; Base64 of "login:password".
    std::vector<std::string> authCodes{"dXNlcjpwYXNzd29yZA=="}; // user:password
    // Where the CA certificate (PEM) is written; a temporary directory when empty.
    std::filesystem::path certificateDirectory;
    std::uint16_t port = 0;          // 0: an ephemeral port
    bool sampleData = true;          // start with the sample apps and users
    bool expiredCertificate = false; // a server certificate whose validity ended yesterday
};

// A stand-in for the kintone REST service: HTTPS on 127.0.0.1 with a certificate from a CA made at start.
// Thread-safe; every public member may be called while requests are being served.
class KintoneSimulator final {
public:
    explicit KintoneSimulator(SimulatorOptions options = {});
    ~KintoneSimulator();
    KintoneSimulator(const KintoneSimulator&) = delete;
    KintoneSimulator& operator=(const KintoneSimulator&) = delete;

    std::uint16_t port() const;
    // PEM file of the CA that signed the server certificate.
    std::filesystem::path caFile() const;
    // Value for STAMPO_CONNECT_TO / the client's connect-to option: "127.0.0.1:PORT".
    std::string connectTo() const;

    // Data. Apps are numbered from 1; the sample data holds the attendance app (1) and the employee app (2).
    // Replaces every app, record, user and cursor with `data`, laid out like sampleData().
    void loadData(const Json& data);
    // `properties` is the form-fields "properties" object: field code -> {"type","code","label",...}.
    int addApp(const Json& properties);
    void setFormFields(int app, const Json& properties);
    // Adds a record (field code -> {"value": ...}); returns its id. "$id" is added by the simulator.
    int addRecord(int app, const Json& record);
    // The record as stored, with "$id"; null when absent.
    Json record(int app, int id) const;
    std::vector<Json> records(int app) const;
    // Users are {"id","code","name",...}; addUsers makes `count` users "user0001", "user0002", ...
    void setUsers(const Json& users);
    void addUsers(int count);
    int openCursors() const;

    // Faults, matched in the order added.
    void addFault(FaultRule rule);
    void clearFaults();
    void releaseHangs();

    // Observations.
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const;
    void clearRequests();
    // Waits until at least `count` requests were received since the last clearRequests(); false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    // TCP connections accepted, TLS handshakes completed, and of those the resumed ones.
    int connections() const;
    int handshakes() const;
    int resumedHandshakes() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

// The sample data: attendance app (1), employee app (2) and users; also the executable's default data.
Json sampleData();

} // namespace kintonesim

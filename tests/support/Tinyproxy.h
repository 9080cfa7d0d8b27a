#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace stampo::test {

// A real tinyproxy on a loopback port for the life of the object, optionally with Basic authentication.
class Tinyproxy final {
public:
    struct Options {
        std::string user; // empty: no authentication
        std::string password;
    };

    explicit Tinyproxy(Options options);
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    // False when tinyproxy could not be started; error() says why.
    bool running() const { return m_pid > 0; }
    const std::string& error() const { return m_error; }
    std::string port() const { return std::to_string(m_port); }

private:
    std::filesystem::path m_directory;
    int m_port = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

} // namespace stampo::test

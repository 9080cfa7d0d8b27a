#pragma once

#include "util/FileDescriptor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace stampo::test {

// A real tinyproxy on a loopback port for the life of the object, with Basic authentication when a user is given.
class Tinyproxy final {
public:
    explicit Tinyproxy(const std::string& user = "", const std::string& password = "") {
        char pattern[] = "/tmp/stampo-tinyproxy-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        m_directory = pattern;
        m_port = freePort();
        const std::string config = (m_directory / "tinyproxy.conf").string();
        std::ofstream(config) << "Port " << m_port << "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Critical\n"
                              << (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n");
        // Its output goes nowhere: one left behind by a crashed test must not hold the test runner's pipe open.
        const char* argv[] = {"sh", "-c", "exec tinyproxy -d -c \"$0\" >/dev/null 2>&1", config.c_str(), nullptr};
        if (posix_spawnp(&m_pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            m_pid = -1;
        // Ready once it accepts connections; given up when it exits or the deadline passes.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (; running() && !accepts(); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                m_pid = -1;
            else if (std::chrono::steady_clock::now() > until)
                stop();
        }
    }
    ~Tinyproxy() {
        stop();
        if (!m_directory.empty())
            std::filesystem::remove_all(m_directory);
    }
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    // False when tinyproxy is not installed or did not start listening.
    bool running() const { return m_pid > 0; }
    std::string port() const { return std::to_string(m_port); }

private:
    static sockaddr_in loopback(int port) {
        return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    }
    // A port the kernel finds free; tinyproxy takes it once this socket is closed.
    static int freePort() {
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        const FileDescriptor fd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) == 0)
            getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    bool accepts() const {
        const FileDescriptor fd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        const sockaddr_in address = loopback(m_port);
        return connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

    std::filesystem::path m_directory;
    int m_port = 0;
    pid_t m_pid = -1;
};

} // namespace stampo::test

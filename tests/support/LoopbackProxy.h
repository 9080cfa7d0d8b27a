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

// A real proxy on a loopback port for the life of the object: tinyproxy, with Basic authentication when a user is
// given, or squid, which asks for Digest authentication.
class LoopbackProxy final {
public:
    enum class Kind { Tinyproxy, SquidDigest };

    explicit LoopbackProxy(Kind kind, const std::string& user = "", const std::string& password = "") {
        char pattern[] = "/tmp/stampo-proxy-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        m_directory = pattern;
        m_port = loopback(0);
        const std::string directory = m_directory.string(), config = directory + "/proxy.conf";
        if (kind == Kind::Tinyproxy) {
            std::ofstream(config) << "Port " << m_port << "\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Critical\n"
                                  << (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n");
        } else {
            // Run as root, squid becomes its own user, which must reach the directory and read the passwords.
            std::filesystem::permissions(m_directory, std::filesystem::perms::all);
            std::ofstream(directory + "/passwords") << user << ":" << password << "\n";
            std::ofstream(config)
                << "http_port 127.0.0.1:" << m_port << "\npid_filename " << directory << "/squid.pid\ncache_log "
                << directory << "/cache.log\ncoredump_dir " << directory
                << "\naccess_log none\ncache deny all\nshutdown_lifetime 0 seconds\nauth_param digest "
                << "program /usr/lib/squid/digest_file_auth " << directory << "/passwords\n"
                << "auth_param digest realm stampo\nauth_param digest children 1 startup=1\n"
                << "acl signedIn proxy_auth REQUIRED\nhttp_access allow signedIn\nhttp_access deny all\n";
        }
        // Its output goes nowhere: one left behind by a crashed test must not hold the test runner's pipe open.
        const std::string command = kind == Kind::Tinyproxy ? "exec tinyproxy -d -c \"$0\" >/dev/null 2>&1"
                                                            : "exec squid -N -f \"$0\" >/dev/null 2>&1";
        const char* argv[] = {"sh", "-c", command.c_str(), config.c_str(), nullptr};
        if (posix_spawnp(&m_pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
            m_pid = -1;
        // Ready once it accepts connections; given up when it exits or the deadline passes.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (; running() && !loopback(m_port); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            if (waitpid(m_pid, nullptr, WNOHANG) == m_pid)
                m_pid = -1;
            else if (std::chrono::steady_clock::now() > until)
                stop();
        }
    }
    ~LoopbackProxy() {
        stop();
        if (!m_directory.empty())
            std::filesystem::remove_all(m_directory);
    }
    LoopbackProxy(const LoopbackProxy&) = delete;
    LoopbackProxy& operator=(const LoopbackProxy&) = delete;

    // False when the proxy is not installed or did not start listening.
    bool running() const { return m_pid > 0; }
    std::string port() const { return std::to_string(m_port); }

private:
    // A loopback TCP socket connected to `port`, or with `port` 0 bound to one the kernel finds free (the proxy takes
    // it once this socket is closed); its port, or 0 when that failed.
    static int loopback(int port) {
        sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        auto* const name = reinterpret_cast<sockaddr*>(&address);
        socklen_t length = sizeof address;
        const FileDescriptor fd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        const bool done = port ? connect(fd.get(), name, length) == 0
                               : bind(fd.get(), name, length) == 0 && getsockname(fd.get(), name, &length) == 0;
        return done ? ntohs(address.sin_port) : 0;
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

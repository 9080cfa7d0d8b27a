#include "support/Tinyproxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

extern char** environ;

namespace stampo::test {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

} // namespace

Tinyproxy::Tinyproxy(Options options) {
    char pattern[] = "/tmp/stampo-tinyproxy-XXXXXX";
    if (!mkdtemp(pattern)) {
        m_error = "cannot make a temporary directory";
        return;
    }
    m_directory = pattern;
    m_port = freePort();
    const auto config = m_directory / "tinyproxy.conf";
    {
        std::ofstream out(config);
        out << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 60\nLogLevel Critical\nMaxClients 64\n"
            << "Allow 127.0.0.1\n";
        if (!options.user.empty())
            out << "BasicAuth " << options.user << " " << options.password << "\n";
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string configPath = config.string();
    char* argv[] = {const_cast<char*>("tinyproxy"), const_cast<char*>("-d"), const_cast<char*>("-c"),
                    const_cast<char*>(configPath.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "tinyproxy", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_error = "tinyproxy cannot be started (is it installed?)";
        return;
    }
    m_pid = pid;

    // Ready once it accepts connections; give up if it exits or the deadline passes.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!accepts(m_port)) {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid || std::chrono::steady_clock::now() > until) {
            m_error = "tinyproxy did not start listening";
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Tinyproxy::~Tinyproxy() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    if (!m_directory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }
}

} // namespace stampo::test

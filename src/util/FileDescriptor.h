#pragma once

#include <unistd.h>

namespace stampo {

// Owns one file descriptor (a file, a directory or a socket) and closes it.
class FileDescriptor final {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace stampo

#pragma once

#include "util/FileDescriptor.h"

#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>

namespace stampo {

// Keeps one running instance per settings file (so per user): the first one holds a lock file and listens on a Unix
// socket beside it; a later launch knocks on that socket (connecting is the knock), so the running instance can show
// itself, and then ends. Plain sockets rather than QtNetwork, whose loading alone would cost every start about 2 ms.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    // `directory` holds the lock file and the socket; it should be private to the user ($XDG_RUNTIME_DIR).
    // Runs for other settings files (a demo's, a test's) are other instances.
    SingleInstance(const QString& directory, const QString& settingsFile, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the running instance and listens for later launches.
    bool becomePrimary();
    // Tells the running instance that the user launched the application again; false when it could not be
    // reached within `timeout`.
    bool knock(std::chrono::milliseconds timeout) const;

    // The directory for the lock and the socket: $XDG_RUNTIME_DIR, or a per-user one in the temporary directory.
    static QString defaultDirectory();

signals:
    // A later launch knocked.
    void knocked();

private:
    const QString m_socketPath;
    QLockFile m_lock;
    FileDescriptor m_server{-1};
};

} // namespace stampo

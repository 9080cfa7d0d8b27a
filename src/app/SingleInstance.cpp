#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace stampo {

namespace {

// Short enough for a socket path, distinct per settings file.
QString baseName(const QString& settingsFile) {
    const QByteArray digest = QCryptographicHash::hash(settingsFile.toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("stampo-") + QString::fromLatin1(digest.toHex().left(16));
}

// None when the path is too long for a socket address.
std::optional<sockaddr_un> socketAddress(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    if (static_cast<std::size_t>(native.size()) >= sizeof address.sun_path)
        return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, native.constData(), static_cast<std::size_t>(native.size()));
    return address;
}

const sockaddr* asSocketAddress(const sockaddr_un& address) {
    return reinterpret_cast<const sockaddr*>(&address);
}

} // namespace

SingleInstance::SingleInstance(const QString& directory, const QString& settingsFile, QObject* parent)
    : QObject(parent)
    , m_socketPath(QDir(directory).filePath(baseName(settingsFile) + ".socket"))
    , m_lock(QDir(directory).filePath(baseName(settingsFile) + ".lock")) {
    // Age never makes the lock stale; a lock whose holder has died is taken over.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (m_server.get() >= 0)
        QFile::remove(m_socketPath);
}

bool SingleInstance::becomePrimary() {
    if (!m_lock.tryLock(0))
        return false;
    // Without the socket this instance still runs; later launches then only fail to hand over.
    const auto address = socketAddress(m_socketPath);
    if (!address)
        return true;
    // Whoever held the socket before us is gone (we hold the lock), so its socket file is stale.
    QFile::remove(m_socketPath);
    FileDescriptor server(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (server.get() < 0 || ::bind(server.get(), asSocketAddress(*address), sizeof *address) != 0)
        return true;
    // The directory is the user's own; the socket is too.
    if (::chmod(address->sun_path, S_IRUSR | S_IWUSR) != 0 || ::listen(server.get(), SOMAXCONN) != 0) {
        QFile::remove(m_socketPath);
        return true;
    }
    m_server = std::move(server);
    auto* notifier = new QSocketNotifier(m_server.get(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        for (;;) {
            const FileDescriptor launch(::accept4(m_server.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (launch.get() < 0)
                return;
            emit knocked();
        }
    });
    return true;
}

bool SingleInstance::knock(std::chrono::milliseconds timeout) const {
    const auto address = socketAddress(m_socketPath);
    if (!address)
        return false;
    const QDeadlineTimer deadline(timeout);
    // The running instance may still be starting (its lock is taken before its socket listens): try again until
    // the deadline. Non-blocking, so that a running instance that does not accept cannot hold this one.
    for (;;) {
        const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (socket.get() >= 0 && ::connect(socket.get(), asSocketAddress(*address), sizeof *address) == 0)
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(50, deadline.remainingTime())));
    }
}

QString SingleInstance::defaultDirectory() {
    // Qt falls back to a private directory of its own (owner and mode checked) when $XDG_RUNTIME_DIR is unset.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

} // namespace stampo

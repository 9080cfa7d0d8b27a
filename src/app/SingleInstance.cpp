#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>

namespace stampo {

namespace {

constexpr char knockMessage = '!';

// Short enough for a socket path, distinct per settings file.
QString baseName(const QString& settingsFile) {
    const QByteArray digest = QCryptographicHash::hash(settingsFile.toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("stampo-") + QString::fromLatin1(digest.toHex().left(16));
}

} // namespace

SingleInstance::SingleInstance(const QString& directory, const QString& settingsFile, QObject* parent)
    : QObject(parent)
    , m_socketPath(QDir(directory).filePath(baseName(settingsFile) + ".socket"))
    , m_lock(QDir(directory).filePath(baseName(settingsFile) + ".lock")) {
    // Age never makes the lock stale; a lock whose holder has died is taken over.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::becomePrimary() {
    if (!m_lock.tryLock(0))
        return false;
    // Whoever held the socket before us is gone (we hold the lock), so its socket file is stale.
    QLocalServer::removeServer(m_socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().contains(knockMessage))
                    emit knocked();
                socket->disconnectFromServer();
            });
        }
    });
    // Without the socket this instance still runs; later launches then only fail to hand over.
    m_server->listen(m_socketPath);
    return true;
}

bool SingleInstance::knock(std::chrono::milliseconds timeout) const {
    const QDeadlineTimer deadline(timeout);
    // The running instance may still be starting (its lock is taken before its socket listens): try again
    // until the deadline.
    for (;;) {
        QLocalSocket socket;
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.write(&knockMessage, 1);
            return socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()));
        }
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

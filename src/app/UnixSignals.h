#pragma once

#include "util/FileDescriptor.h"

#include <QObject>

#include <initializer_list>
#include <vector>

class QSocketNotifier;

namespace stampo {

// Turns Unix signals (SIGTERM, SIGINT, SIGHUP) into a Qt signal on the main thread, through a self-pipe: the
// handler only writes the signal's number, everything else runs in the event loop.
class UnixSignals final : public QObject {
    Q_OBJECT
public:
    // Only one instance may exist at a time: the handlers write to its pipe.
    explicit UnixSignals(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
    ~UnixSignals() override;

signals:
    void received(int signalNumber);

private:
    FileDescriptor m_readEnd{-1};
    FileDescriptor m_writeEnd{-1};
    QSocketNotifier* m_notifier;
    std::vector<int> m_signalNumbers;
};

} // namespace stampo

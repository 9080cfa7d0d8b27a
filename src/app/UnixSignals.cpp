#include "UnixSignals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace stampo {

namespace {

// The handler can reach no object, only this.
std::atomic<int> writeEndForHandler{-1};

void handleSignal(int signalNumber) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(writeEndForHandler.load(), &number, 1);
    errno = savedErrno;
}

std::pair<int, int> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("cannot create the signal pipe");
    return {ends[0], ends[1]};
}

} // namespace

UnixSignals::UnixSignals(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent)
    , m_signalNumbers(signalNumbers) {
    const auto [readEnd, writeEnd] = makePipe();
    m_readEnd = FileDescriptor(readEnd);
    m_writeEnd = FileDescriptor(writeEnd);
    writeEndForHandler = m_writeEnd.get();

    m_notifier = new QSocketNotifier(m_readEnd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        while (::read(m_readEnd.get(), &number, 1) == 1)
            emit received(number);
    });

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : m_signalNumbers)
        ::sigaction(signalNumber, &action, nullptr);
}

UnixSignals::~UnixSignals() {
    for (const int signalNumber : m_signalNumbers)
        std::signal(signalNumber, SIG_DFL);
    writeEndForHandler = -1;
}

} // namespace stampo

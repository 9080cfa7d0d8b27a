#include "SuddenEnd.h"

#include <QStringList>

#include <X11/ICE/ICElib.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace stampo {

namespace {

// Qt's message handler and libICE's I/O error handler reach no object, only this.
std::mutex handlerMutex; // held while the handler runs
std::function<void()> armedHandler;
bool handlerRan = false;
QtMessageHandler previousHandler = nullptr;
IceIOErrorHandler previousIceHandler = nullptr;
thread_local bool inHandler = false;

// Runs the handler unless it ran or the run ends through main; true when the process is to end now.
bool runHandler() {
    if (inHandler)
        return false;
    inHandler = true;
    const std::lock_guard lock(handlerMutex);
    const bool armed = static_cast<bool>(armedHandler);
    if (armed && !std::exchange(handlerRan, true))
        armedHandler();
    inHandler = false;
    return armed;
}

[[noreturn]] void endNow() {
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

void onMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (previousHandler)
        previousHandler(type, context, message);
    if (type == QtFatalMsg) {
        // Qt aborts when this returns.
        runHandler();
        return;
    }
    if (SuddenEnd::tellsDisplayLoss(type, message) && runHandler())
        endNow();
}

// libICE's default handler calls exit() after this.
void onIceError(IceConn connection) {
    if (runHandler())
        endNow();
    if (previousIceHandler)
        previousIceHandler(connection);
}

} // namespace

SuddenEnd::SuddenEnd(std::function<void()> handler) {
    {
        const std::lock_guard lock(handlerMutex);
        armedHandler = std::move(handler);
        handlerRan = false;
    }
    previousHandler = qInstallMessageHandler(onMessage);
    previousIceHandler = IceSetIOErrorHandler(onIceError);
}

SuddenEnd::~SuddenEnd() {
    qInstallMessageHandler(previousHandler);
    IceSetIOErrorHandler(previousIceHandler);
    const std::lock_guard lock(handlerMutex);
    armedHandler = nullptr;
}

bool SuddenEnd::tellsDisplayLoss(QtMsgType type, const QString& message) {
    // Qt 6's texts: "The X11 connection broke (error 1). Did the X11 server die?", in later versions "The X11
    // connection broke: ... (code 1)"; "The Wayland connection broke. Did the Wayland compositor die?" and "The Wayland
    // connection experienced a fatal error: ...".
    static const QStringList beginnings{QStringLiteral("The X11 connection broke"),
                                        QStringLiteral("The Wayland connection broke"),
                                        QStringLiteral("The Wayland connection experienced a fatal error")};
    if (type == QtDebugMsg || type == QtInfoMsg)
        return false;
    for (const QString& beginning : beginnings)
        if (message.startsWith(beginning))
            return true;
    return false;
}

} // namespace stampo

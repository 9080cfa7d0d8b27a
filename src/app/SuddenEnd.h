#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

namespace stampo {

// Runs a handler when the process is about to end from inside a library rather than through main: Qt's display
// plugins when their connection breaks (they print why, then end the process with exit() or _exit(), from whichever
// thread noticed, inside the event loop), Qt's fatal errors, and libICE when the connection to the session manager
// breaks (its I/O error handler calls exit()). The handler runs once, on the thread that ends the process, and must
// need neither the event loop nor the display; another thread ending the process meanwhile waits for it. Then the
// process ends at once, so that no destructor races the worker threads still running. (An exit handler would come
// too late: by then exit() has destroyed the statics that Qt created after it was registered.) One instance at a
// time, made once the application object exists.
class SuddenEnd final {
public:
    explicit SuddenEnd(std::function<void()> handler);
    // From here on the run ends through main; a handler already running is waited for.
    ~SuddenEnd();
    SuddenEnd(const SuddenEnd&) = delete;
    SuddenEnd& operator=(const SuddenEnd&) = delete;

    // Whether a message of Qt's says that the connection to the display is gone.
    static bool tellsDisplayLoss(QtMsgType type, const QString& message);
};

} // namespace stampo

#include "QtMainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QtGlobal>

namespace stampo {

void QtMainQueue::async(std::function<void()> work) {
    QCoreApplication* const app = QCoreApplication::instance();
    // Without an application there is no main thread loop (not started yet, or shutting down). Running the work
    // here would break the promise that it runs on the main thread, so it is dropped, but not silently.
    if (app == nullptr) {
        qWarning("QtMainQueue: no application instance; queued work dropped");
        return;
    }
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

} // namespace stampo

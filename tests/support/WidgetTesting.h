#pragma once

#include "kintone/WorkerThreads.h"
#include "support/TestSeams.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QMetaObject>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace stampo::test {

// Runs the Qt event loop until `condition`, which main-thread events change, holds; false at the deadline.
inline bool processEventsUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = deadline) {
    const QDeadlineTimer until(timeout);
    QTimer wake; // ends the last wait for events at the deadline
    wake.start(timeout);
    while (!condition() && !until.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return condition();
}

// Waits until no kintone request is in flight and what the requests queued on the main thread has run, which may have
// started more; false at the deadline.
inline bool waitSettled(const WorkerThreads& workers) {
    for (int started = -1; started != workers.started();) {
        started = workers.started();
        if (!workers.waitIdle(deadline))
            return false;
        bool ran = false;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { ran = true; }, Qt::QueuedConnection);
        if (!processEventsUntil([&] { return ran; }))
            return false;
    }
    return true;
}

// No control of `form` reaching past its edges (a combo box's list is a window of its own).
inline void expectControlsInside(const QWidget& form) {
    for (const QWidget* control : form.findChildren<QWidget*>()) {
        const QRect frame(control->mapTo(&form, QPoint(0, 0)), control->size());
        EXPECT_TRUE(control->window() != form.window() || form.rect().contains(frame))
            << control->objectName().toStdString();
    }
}

} // namespace stampo::test

#pragma once

#include "support/TestSeams.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
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

// No control of `form` reaching past its edges.
inline void expectControlsInside(const QWidget& form) {
    for (const QWidget* control : form.findChildren<QWidget*>()) {
        const QRect frame(control->mapTo(&form, QPoint(0, 0)), control->size());
        EXPECT_TRUE(form.rect().contains(frame)) << control->objectName().toStdString();
    }
}

} // namespace stampo::test

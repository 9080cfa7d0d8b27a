#pragma once

#include "QSettingsStore.h"
#include "QtMainQueue.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
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

// The window of a `View` (AttendView or SettingView), not shown yet, over the simulator's sample apps as configure()
// stores them.
template <typename View> class ViewTest : public KintoneTest {
protected:
    explicit ViewTest(const QString& title) {
        configure(*store, authCode);
        window = std::make_unique<FormWindow>(new View(store, client, appQueue, alert, &notifications), title, false);
    }
    ZUMContainerView& form() const { return *window->controller()->container(); }
    ZUMComboBox& box(const char* name) const { return *form().combobox().value(name); }
    void press(const char* button) const { form().button().value(button)->click(); }

    QTemporaryDir dir;
    std::shared_ptr<QSettingsStore> store = std::make_shared<QSettingsStore>(dir.filePath("Stampo.conf"));
    std::shared_ptr<QtMainQueue> appQueue = std::make_shared<QtMainQueue>();
    Notifications notifications;
    std::unique_ptr<FormWindow> window;
};

} // namespace stampo::test

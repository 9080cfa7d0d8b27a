#include "widgets/MessageBoxAlert.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

namespace stampo {

namespace {

// The window the user is working in, which the alert belongs to; none when the application has no active window.
QWidget* activeOwner() {
    QWidget* active = QApplication::activeWindow();
    if (!active || !active->isVisible() || active->windowType() == Qt::Popup)
        return nullptr;
    return active;
}

} // namespace

void MessageBoxAlert::show(const std::string& message) {
    const std::uint64_t ticket = m_asked++;
    m_waiting.push_back(QString::fromStdString(message));
    // Alerts asked while one is open run in event loops nested inside it, and only the innermost loop can go
    // on. So whichever call holds the innermost loop when nothing is open shows the oldest waiting message,
    // its own or another's, until its own has been dismissed.
    while (m_dismissed <= ticket) {
        if (!(m_open ? waitForOpen() : showOldest()))
            abandon();
    }
}

bool MessageBoxAlert::showOldest() {
    // The box belongs to the active window, so it opens over it as its transient; a window that goes while the
    // alert is up takes the box with it, hence the guarded pointer.
    const QPointer<QMessageBox> box = new QMessageBox(activeOwner());
    box->setTextFormat(Qt::PlainText);
    box->setText(m_waiting.front());
    m_waiting.pop_front();
    box->setIcon(QMessageBox::NoIcon);
    box->setStandardButtons(QMessageBox::Ok);
    box->setWindowModality(Qt::ApplicationModal);
    // The forms stay above other windows, so an alert must too, or the window manager stacks it below the form it
    // blocks and nothing can be clicked any more.
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    // Shown, it takes the keyboard from the form; its only button has the focus.
    QTimer::singleShot(0, box, [box] {
        box->raise();
        box->activateWindow();
    });
    bool dismissed = false;
    const auto dismiss = [this, &dismissed] {
        dismissed = true;
        m_open = nullptr;
        ++m_dismissed;
    };
    QObject::connect(box, &QDialog::finished, box, dismiss);
    m_open = box;
    box->exec();
    if (!box) {
        if (!dismissed)
            dismiss();
        return true;
    }
    delete box;
    return dismissed;
}

bool MessageBoxAlert::waitForOpen() {
    QEventLoop loop;
    QObject::connect(m_open, &QDialog::finished, &loop, &QEventLoop::quit);
    loop.exec();
    return !m_open;
}

void MessageBoxAlert::abandon() {
    m_waiting.clear();
    m_dismissed = m_asked;
}

} // namespace stampo

#include "widgets/MessageBoxAlert.h"

#include <QEventLoop>
#include <QMessageBox>

namespace stampo {

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
    QMessageBox box;
    box.setTextFormat(Qt::PlainText);
    box.setText(m_waiting.front());
    m_waiting.pop_front();
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    bool dismissed = false;
    QObject::connect(&box, &QDialog::finished, &box, [this, &dismissed] {
        dismissed = true;
        m_open = nullptr;
        ++m_dismissed;
    });
    m_open = &box;
    box.exec();
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

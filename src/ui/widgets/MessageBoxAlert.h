#pragma once

#include "Alert.h"

#include <QPointer>
#include <QString>

#include <cstdint>
#include <deque>

class QMessageBox;

namespace stampo {

// The alert form: an application-modal message box with only the text and one OK button. An alert asked for
// while another is open waits until that one is dismissed, so alerts come one after another.
class MessageBoxAlert final : public Alert {
public:
    void show(const std::string& message) override;

private:
    // Shows the oldest waiting message until it is dismissed; false when its loop was ended otherwise.
    bool showOldest();
    // Waits until the open alert is dismissed; false when the wait was ended otherwise.
    bool waitForOpen();
    // The application is quitting: every waiting alert is given up.
    void abandon();

    std::deque<QString> m_waiting;
    std::uint64_t m_asked = 0;
    // Alerts are shown in the order asked, so the first m_dismissed of them are done.
    std::uint64_t m_dismissed = 0;
    QPointer<QMessageBox> m_open;
};

} // namespace stampo

#pragma once

#include "widgets/FormWindow.h"

#include <memory>

namespace stampo {

class Alert;
class Notifications;
class ZUMButton;

// The auth-code form: turns a kintone login name and password into the auth code and posts it. The name and
// password live only in the form's inputs, which are emptied at every showing; nothing is stored.
class AuthView final : public ViewController {
    Q_OBJECT
public:
    AuthView(std::shared_ptr<Alert> alert, Notifications* notifications, QWidget* parent = nullptr);

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear() override;

    // "ok" checks the form and posts the code, any other button closes the window.
    void buttonAction(ZUMButton* sender) override;

private:
    std::shared_ptr<Alert> m_alert;
    Notifications* m_notifications;
};

} // namespace stampo

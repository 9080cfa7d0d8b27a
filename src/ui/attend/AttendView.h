#pragma once

#include "kintone/Kintone.h"
#include "widgets/FormWindow.h"

#include <functional>
#include <memory>

namespace stampo {

class Alert;
class MainQueue;
class Notifications;
class SettingsStore;
class ZUMButton;

// The employee-selection form: a combo box of the employees loaded afresh from kintone at every showing, searchable
// by name and code, and the "勤務開始" button that posts the chosen employee's code as "didStampoAttend".
class AttendView final : public ViewController {
    Q_OBJECT
public:
    using Json = Kintone::Json;
    using Completion = std::function<void(Json employees)>;

    // `notifications` must outlive the view.
    AttendView(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<MainQueue> mainQueue,
               std::shared_ptr<Alert> alert, Notifications* notifications, QWidget* parent = nullptr);

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear() override;

    void buttonAction(ZUMButton* sender) override;
    // Starts reading the employee list; `completion` receives it on a kintone worker thread, and never on failure.
    void loadEmployees(Completion completion) const;
    // Fills the combo box with `employees` and preselects the stored "keepUser"; main thread only.
    void showEmployees(const Json& employees);

private:
    const std::shared_ptr<SettingsStore> m_store;
    const Kintone m_kintone;
    const std::shared_ptr<MainQueue> m_mainQueue;
    const std::shared_ptr<Alert> m_alert;
    Notifications* const m_notifications;
    qreal m_top = 10;
};

} // namespace stampo

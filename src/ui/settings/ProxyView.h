#pragma once

#include "widgets/FormWindow.h"

#include <memory>

namespace stampo {

class Alert;
class SettingsStore;
class ZUMButton;

// The proxy form: edits the four proxy settings, each input named after the settings key it loads and saves.
class ProxyView final : public ViewController {
    Q_OBJECT
public:
    ProxyView(std::shared_ptr<SettingsStore> store, std::shared_ptr<Alert> alert, QWidget* parent = nullptr);

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear() override;

    // "ok" checks the form and saves it, any other button closes the window without saving.
    void buttonAction(ZUMButton* sender) override;

private:
    std::shared_ptr<SettingsStore> m_store;
    std::shared_ptr<Alert> m_alert;
};

} // namespace stampo

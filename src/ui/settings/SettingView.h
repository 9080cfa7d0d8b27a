#pragma once

#include "kintone/Kintone.h"
#include "widgets/FormWindow.h"

#include <QVariantMap>

#include <functional>
#include <memory>
#include <string>

namespace stampo {

class Alert;
class MainQueue;
class Notifications;
class SettingsStore;
class ZUMButton;
class ZUMComboBox;

// The kintone settings form: subdomain, region, auth code and app id, and the app's fields for the work start, the
// work end and the employee, offered from the field definitions fetched from kintone. One instance serves the
// whole run: its inputs are reloaded from the store at every showing, its field boxes only by a retrieval.
class SettingView final : public ViewController {
    Q_OBJECT
public:
    using Json = Kintone::Json;

    // `notifications` must outlive the view.
    SettingView(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<MainQueue> mainQueue,
                std::shared_ptr<Alert> alert, Notifications* notifications, QWidget* parent = nullptr);

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear() override;

    void buttonAction(ZUMButton* sender) override;
    // Puts a posted auth code into its input; the store is written only by "OK".
    void authorizationReceived(const QVariantMap& userInfo);
    // The user chose another employee field: offers the names of its lookup's source app.
    void comboBoxSelectionDidChange(ZUMComboBox* comboBox);

    // Subdomain, auth code and app id each hold at least one character.
    bool connectionFilled() const;
    // Refills the three field boxes from a non-empty `lists`, refills and shows the name box from a non-empty
    // `names` (else empties and hides it), then optionally selects the stored codes; main thread only.
    void showFields(const Json& lists, const Json& names, bool selectStored);
    // True from the start of a showing's automatic retrieval until it has ended, filled or failed.
    bool loading() const { return m_appearingRetrievals > 0; }

private:
    // Receives a bundle: combo-box name -> list of field property objects.
    using BundleContinuation = std::function<void(Json bundle)>;
    struct Services;
    using ServicesPtr = std::shared_ptr<const Services>;

    // What one retrieval connects with, copied from the form as it starts (subdomain, region and auth code);
    // concurrent retrievals each keep theirs. The app and the proxy are filled in at each request.
    Connection copyConnection() const;
    std::string text(const char* inputName) const;
    void retrieveOnButton();
    void retrieveOnAppearing();
    void ok();

    // These run on kintone's worker threads too: they touch the view only through tasks on the main queue.
    static void fetchFields(const ServicesPtr& services, const Connection& connection, const std::string& appId,
                            Kintone::Success success, Kintone::Failure failure);
    static void splitFields(const ServicesPtr& services, const Json& table, const BundleContinuation& continuation);
    static void loadNameFields(const ServicesPtr& services, const Connection& connection, const Json& table,
                               const std::string& code, BundleContinuation continuation, Kintone::Failure failure);
    static void nameFields(const Json& relatedTable, const BundleContinuation& continuation);

    const ServicesPtr m_services;
    const std::shared_ptr<Alert> m_alert;
    Notifications* const m_notifications;
    // Automatic retrievals started and not yet ended.
    int m_appearingRetrievals = 0;
    // The employee field whose source app's names the name box offers; empty when it offers none.
    std::string m_nameSource;
    // The configured app's field definitions from the last retrieval; replaced on the main thread only.
    Json m_fieldinfos;
    qreal m_top = 10;
};

} // namespace stampo

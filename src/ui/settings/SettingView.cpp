#include "settings/SettingView.h"

#include "Alert.h"
#include "MainQueue.h"
#include "SettingsStore.h"
#include "kintone/ErrorTexts.h"
#include "settings/AuthView.h"
#include "settings/FieldSorting.h"
#include "settings/ProxyView.h"
#include "settings/SettingsKeys.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPointer>

#include <optional>
#include <utility>

namespace stampo {

// What the retrievals use on kintone's worker threads; the view itself is reached only from the main queue.
struct SettingView::Services {
    std::shared_ptr<SettingsStore> store;
    Kintone kintone;
    std::shared_ptr<MainQueue> mainQueue;
    QPointer<SettingView> view;
};

namespace {

using Json = Kintone::Json;

namespace key = SettingsKeys;

constexpr int formWidth = 575;
constexpr qreal margin = 10;
constexpr const char* codeKey = "code";

// The inputs a retrieval and "OK" need, in the order they are checked.
constexpr std::pair<const char*, const char*> requiredInputs[] = {
    {key::subDomain, "サブドメインを入力して下さい"},
    {key::authCode, "認証コードを入力して下さい"},
    {key::appID, "アプリIDを入力して下さい"},
};

// The boxes whose field type is stored beside their code, in the order "OK" checks them.
constexpr std::pair<const char*, const char*> typedFields[] = {
    {key::fieldIn, "出勤日時フィールドを選択して下さい"},
    {key::fieldOut, "退勤日時フィールドを選択して下さい"},
    {key::fieldUser, "従業員フィールドを選択して下さい"},
};

// "." and the second-level label of kintone's service domain, taken from the address the client builds
// ("https://" + subdomain + ".LABEL." + region), so that the form shows the host requests really go to.
QString serviceDomain() {
    const std::string base = Kintone::serviceBase("", "");
    const std::size_t dot = base.find('.');
    return QString::fromStdString(base.substr(dot, base.size() - dot - 1));
}

QVariantMap toVariantMap(const Json& entry) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(entry.dump())).object().toVariantMap();
}

void empty(ZUMComboBox& box) {
    box.setDatasource({});
    box.clear();
}

// Shows one item per entry, in order, with nothing selected.
void fill(ZUMComboBox& box, QList<QVariantMap> datasource) {
    empty(box);
    box.setDatasource(std::move(datasource));
    for (const QVariantMap& entry : box.datasource())
        box.addItem(entry.value(QStringLiteral("label")).toString());
    box.setCurrentIndex(-1);
}

void fillFromJson(ZUMComboBox& box, const Json& list) {
    QList<QVariantMap> datasource;
    for (const Json& entry : list)
        datasource.append(toVariantMap(entry));
    fill(box, std::move(datasource));
}

// Selects the last entry carrying `wanted` as its code; without one the box keeps its selection.
void selectLast(ZUMComboBox& box, const QString& wanted) {
    const QList<QVariantMap>& entries = box.datasource();
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        if (entries.at(i).value(codeKey).toString() == wanted) {
            box.setCurrentIndex(static_cast<int>(i));
            return;
        }
    }
}

// Every press opens another window, which frees itself when closed; the settings form keeps no reference to it. It
// belongs to the settings window, so that it stays above it.
void present(ViewController* controller, const QString& title, QWidget* settingWindow) {
    auto* window = new FormWindow(controller, title, true, settingWindow);
    window->present();
}

} // namespace

SettingView::SettingView(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<MainQueue> mainQueue,
                         std::shared_ptr<Alert> alert, Notifications* notifications, QWidget* parent)
    : ViewController(parent)
    , m_services(std::make_shared<const Services>(
          Services{std::move(store), std::move(kintone), std::move(mainQueue), QPointer<SettingView>(this)}))
    , m_alert(std::move(alert))
    , m_notifications(notifications) {}

void SettingView::loadView() {
    makeContainer(formWidth);
    // Direct: the code is in the input before the auth-code window's post returns.
    connect(m_notifications, &Notifications::didStampoAuthorization, this, &SettingView::authorizationReceived,
            Qt::DirectConnection);
}

void SettingView::viewDidLoad() {
    ZUMContainerView* form = container();
    const qreal rowHeight = form->rowHeight() * 1.5;
    const auto nextRow = [&] {
        QWidget* row = form->addRow(m_top, rowHeight);
        m_top += rowHeight;
        return row;
    };

    QWidget* row = nextRow();
    form->addCaption(row, "subDomainCaption", "サブドメイン", 10);
    form->addCaption(row, "subDomainHost", "https://", 130);
    form->addInput(row, key::subDomain, 185, 150);
    form->addCaption(row, "subDomainDomain", serviceDomain(), 340);
    ZUMComboBox* region = form->addCombobox(row, key::topLevelDomain, 400, 75);

    row = nextRow();
    form->addCaption(row, "authCodeCaption", "認証コード", 10);
    // The code is the login name and password in Base64: masked like a password, and pasting still works.
    form->addInput(row, key::authCode, 130, 275)->setEchoMode(QLineEdit::Password);
    form->addButton(row, "authorization", "認証コード生成", 410, 120);

    row = nextRow();
    form->addCaption(row, "appIDCaption", "アプリID", 10);
    form->addInput(row, key::appID, 130, 150);
    form->addButton(row, "fieldinfo", "フィールド取得", 285, 120);
    form->addButton(row, "proxy", "プロキシサーバー", 410, 120);

    row = nextRow();
    form->addCaption(row, "fieldInCaption", "出勤日時フィールド", 10);
    form->addCombobox(row, key::fieldIn, 130, 150);

    row = nextRow();
    form->addCaption(row, "fieldOutCaption", "退勤日時フィールド", 10);
    form->addCombobox(row, key::fieldOut, 130, 150);

    row = nextRow();
    form->addCaption(row, "fieldUserCaption", "従業員フィールド", 10);
    ZUMComboBox* employee = form->addCombobox(row, key::fieldUser, 130, 150);
    form->addCaption(row, "fieldUserDisplayCaption", "従業員名フィールド", 285);
    form->addCombobox(row, key::fieldUserDisplay, 410, 150);

    addOkAndCancel(nextRow(), "OK");
    finishForm(m_top + margin);

    const QList<QVariantMap> regions{{{codeKey, "com"}, {"label", ".com/"}}, {{codeKey, "cn"}, {"label", ".cn/"}}};
    fill(*region, regions);
    region->setCurrentIndex(0);
    // Only the user's choice counts as a change: the boxes the form fills itself must not start a retrieval.
    connect(employee, &QComboBox::activated, this, [this, employee] { comboBoxSelectionDidChange(employee); });
}

void SettingView::viewDidAppear() {
    const SettingsStore& store = *m_services->store;
    const auto load = [&store](const auto& fields) {
        for (auto* field : fields)
            field->setText(QString::fromStdString(store.stringForKey(field->name().toStdString()).value_or("")));
    };
    load(container()->input());
    load(container()->password());
    // The stored region before the retrieval, so that its first request already goes to the stored region's host.
    ZUMComboBox* region = container()->combobox().value(key::topLevelDomain);
    selectLast(*region, QString::fromStdString(store.stringForKey(key::topLevelDomain).value_or("")));
    if (connectionFilled())
        retrieveOnAppearing();
}

void SettingView::buttonAction(ZUMButton* sender) {
    const QString& name = sender->name();
    if (name == "authorization")
        present(new AuthView(m_alert, m_notifications), "認証コード生成", window());
    else if (name == "fieldinfo")
        retrieveOnButton();
    else if (name == "proxy")
        present(new ProxyView(m_services->store, m_alert), "プロキシサーバー設定", window());
    else if (name == "ok")
        ok();
    else
        closeWindow();
}

void SettingView::authorizationReceived(const QVariantMap& userInfo) {
    // Also covers a post without user info: only a text code is taken.
    const QVariant authCode = userInfo.value(key::authCode);
    if (authCode.typeId() != QMetaType::QString)
        return;
    if (ZUMTextField* input = container()->input().value(key::authCode))
        input->setText(authCode.toString());
}

void SettingView::comboBoxSelectionDidChange(ZUMComboBox* comboBox) {
    if (comboBox->name() != key::fieldUser || loading())
        return;
    if (comboBox->datasource().isEmpty() || !connectionFilled())
        return;
    // Choosing the field whose names are offered already keeps the name chosen among them.
    std::string code = comboBox->selectedValue(codeKey).toStdString();
    if (code == m_nameSource)
        return;
    const ServicesPtr services = m_services;
    loadNameFields(
        services, copyConnection(), m_fieldinfos, code,
        [services, code](Json names) {
            services->mainQueue->async([view = services->view, code, names = std::move(names)] {
                if (!view)
                    return;
                view->showFields(Json::object(), names, false);
                view->m_nameSource = code;
            });
        },
        [] {});
}

bool SettingView::connectionFilled() const {
    for (const auto& [name, message] : requiredInputs)
        if (container()->input().value(name)->text().isEmpty())
            return false;
    return true;
}

void SettingView::showFields(const Json& lists, const Json& names, bool selectStored) {
    const auto& boxes = container()->combobox();
    if (!lists.empty()) {
        for (const auto& [name, message] : typedFields)
            empty(*boxes.value(name));
        for (const auto& [name, message] : typedFields)
            fillFromJson(*boxes.value(name), lists.value(name, Json::array()));
    }
    ZUMComboBox& display = *boxes.value(key::fieldUserDisplay);
    const bool offerNames = !names.empty();
    if (offerNames)
        fillFromJson(display, names.value(key::fieldUserDisplay, Json::array()));
    else
        empty(display);
    display.setVisible(offerNames);
    container()->caption().value("fieldUserDisplayCaption")->setVisible(offerNames);
    if (!selectStored)
        return;
    for (ZUMComboBox* box : boxes)
        selectLast(*box,
                   QString::fromStdString(m_services->store->stringForKey(box->name().toStdString()).value_or("")));
}

Connection SettingView::copyConnection() const {
    return Connection{text(key::subDomain),
                      container()->combobox().value(key::topLevelDomain)->selectedValue(codeKey).toStdString(),
                      {},
                      text(key::authCode),
                      {}};
}

std::string SettingView::text(const char* inputName) const {
    return container()->input().value(inputName)->text().toStdString();
}

void SettingView::retrieveOnButton() {
    for (const auto& [name, message] : requiredInputs)
        if (text(name).empty())
            return m_alert->show(message);
    const ServicesPtr services = m_services;
    fetchFields(
        services, copyConnection(), text(key::appID),
        [services](const Json& table) {
            splitFields(services, table, [services](Json lists) {
                services->mainQueue->async([view = services->view, lists = std::move(lists)] {
                    if (!view)
                        return;
                    view->showFields(lists, Json::object(), false);
                    view->m_nameSource.clear();
                });
            });
        },
        [] {});
}

void SettingView::retrieveOnAppearing() {
    ++m_appearingRetrievals;
    const ServicesPtr services = m_services;
    // However the retrieval ends, it no longer holds back the user's choice of employee field.
    const Kintone::Failure ended = [services] {
        services->mainQueue->async([view = services->view] {
            if (view)
                --view->m_appearingRetrievals;
        });
    };
    const Connection connection = copyConnection();
    fetchFields(
        services, connection, text(key::appID),
        [services, connection, ended](const Json& table) {
            splitFields(services, table, [services, connection, table, ended](Json lists) {
                std::string employee = services->store->stringForKey(key::fieldUser).value_or("");
                loadNameFields(
                    services, connection, table, employee,
                    [services, employee, lists = std::move(lists)](Json names) {
                        services->mainQueue->async([view = services->view, employee, lists, names = std::move(names)] {
                            if (!view)
                                return;
                            view->showFields(lists, names, true);
                            view->m_nameSource = employee;
                            --view->m_appearingRetrievals;
                        });
                    },
                    ended);
            });
        },
        ended);
}

void SettingView::ok() {
    const auto& boxes = container()->combobox();
    const auto firstFailure = [&]() -> std::optional<std::string> {
        for (const auto& [name, message] : requiredInputs)
            if (text(name).empty())
                return message;
        // Anything else would only fail at the first request, or send the auth code to another host.
        if (!Connection::isHostLabel(text(key::subDomain)))
            return ErrorTexts::invalidSubdomain();
        for (const auto& [name, message] : typedFields)
            if (boxes.value(name)->currentIndex() < 0)
                return message;
        const std::string employee = boxes.value(key::fieldUser)->selectedValue(codeKey).toStdString();
        if (fieldType(m_fieldinfos, employee) != "USER_SELECT" &&
            boxes.value(key::fieldUserDisplay)->currentIndex() < 0)
            return "従業員名フィールドを選択して下さい";
        return std::nullopt;
    };
    if (const auto message = firstFailure())
        return m_alert->show(*message);

    SettingsStore& store = *m_services->store;
    const auto save = [&store](const auto& fields) {
        for (const auto* field : fields)
            store.setObjectForKey(field->text().toStdString(), field->name().toStdString());
    };
    save(container()->input());
    save(container()->password());
    for (const ZUMComboBox* box : boxes)
        store.setObjectForKey(box->selectedValue(codeKey).toStdString(), box->name().toStdString());
    for (const auto& [name, message] : typedFields)
        store.setObjectForKey(fieldType(m_fieldinfos, boxes.value(name)->selectedValue(codeKey).toStdString()),
                              SettingsKeys::typeKey(name));
    emit m_notifications->didStampoSetting();
    closeWindow();
}

void SettingView::fetchFields(const ServicesPtr& services, const Connection& connection, const std::string& appId,
                              Kintone::Success success, Kintone::Failure failure) {
    // The proxy as saved last, for this very request, as every request reads it.
    Connection request = connection.forApp(appId);
    request.proxy = Connection::proxyFromStore(*services->store);
    // On failure the client has already shown why; the boxes keep what they show.
    services->kintone.getFormFields(request, std::move(success), std::move(failure));
}

void SettingView::splitFields(const ServicesPtr& services, const Json& table, const BundleContinuation& continuation) {
    // Replaced on the main thread, where "OK" and the employee box read it, ahead of the refill showing this table.
    services->mainQueue->async([view = services->view, table] {
        if (view)
            view->m_fieldinfos = table;
    });
    continuation(splitFieldLists(table));
}

void SettingView::loadNameFields(const ServicesPtr& services, const Connection& connection, const Json& table,
                                 const std::string& code, BundleContinuation continuation, Kintone::Failure failure) {
    // A user selection needs no names; an unknown field or one without a source app is treated alike.
    const std::optional<std::string> app = nameSourceApp(table, code);
    if (!app)
        return continuation(Json::object());
    fetchFields(
        services, connection, *app,
        [continuation = std::move(continuation)](const Json& related) { nameFields(related, continuation); },
        std::move(failure));
}

void SettingView::nameFields(const Json& relatedTable, const BundleContinuation& continuation) {
    continuation(nameFieldLists(relatedTable));
}

} // namespace stampo

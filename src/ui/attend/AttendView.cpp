#include "attend/AttendView.h"

#include "Alert.h"
#include "MainQueue.h"
#include "SettingsStore.h"
#include "employees/EmployeeList.h"
#include "settings/SettingsKeys.h"
#include "widgets/Notifications.h"
#include "widgets/ZUMContainerView.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QVariantMap>

namespace stampo {
namespace {

using Json = Kintone::Json;

using SettingsKeys::keepUser;
constexpr int formWidth = 275;
constexpr qreal controlX = 10;
constexpr qreal controlWidth = 250;
constexpr qreal bottomMargin = 10;
constexpr int usersPageSize = 100;

// A setting as text; a missing value or one that is not a text counts as the empty text.
std::string text(const SettingsStore& store, const std::string& key) {
    return store.stringForKey(key).value_or("");
}

// Failures were already shown by the client; the combo box keeps what it showed.
void ignoreFailure() {}

// The lookup step: runs on a kintone worker, so it holds the store and client itself, never the view.
void loadLookupRecords(const std::shared_ptr<SettingsStore>& store, const Kintone& kintone, const Json& properties,
                       const AttendView::Completion& completion) {
    const auto lookup = employeeLookup(properties, text(*store, SettingsKeys::fieldUser));
    if (!lookup)
        return completion(Json::array({employeePlaceholder()}));
    kintone.getRecords(
        Connection::fromStoreOrEmpty(*store).forApp(lookup->relatedApp), lookup->filterCond, lookup->sort,
        [store, keyField = lookup->relatedKeyField, completion](const Json& records) {
            completion(employeesFromRecords(records, keyField, text(*store, SettingsKeys::fieldUserDisplay)));
        },
        ignoreFailure);
}

QVariantMap toVariantMap(const Json& entry) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(entry.dump())).object().toVariantMap();
}

} // namespace

AttendView::AttendView(std::shared_ptr<SettingsStore> store, Kintone kintone, std::shared_ptr<MainQueue> mainQueue,
                       std::shared_ptr<Alert> alert, Notifications* notifications, QWidget* parent)
    : ViewController(parent)
    , m_store(std::move(store))
    , m_kintone(std::move(kintone))
    , m_mainQueue(std::move(mainQueue))
    , m_alert(std::move(alert))
    , m_notifications(notifications) {}

void AttendView::loadView() {
    makeContainer(formWidth);
    if (!m_store->objectForKey(keepUser))
        m_store->setObjectForKey("", keepUser);
}

void AttendView::viewDidLoad() {
    ZUMContainerView* view = container();
    const qreal comboRow = 1.5 * view->rowHeight();
    // Thousands of employees are found by typing part of a name or code.
    view->addCombobox(view->addRow(m_top, comboRow), keepUser, controlX, controlWidth)
        ->setSearchKeys({QStringLiteral("name"), QStringLiteral("code")});
    m_top += comboRow;
    view->setRowHeight(3.0 * ZUMContainerView::fontSize());
    const qreal buttonRow = 1.5 * view->rowHeight();
    view->addButton(view->addRow(m_top, buttonRow), QStringLiteral("ok"), QStringLiteral("勤務開始"), controlX,
                    controlWidth);
    m_top += buttonRow + bottomMargin;
    finishForm(m_top);
}

void AttendView::viewDidAppear() {
    // The view may be gone when the list arrives; only the main thread looks at the guard.
    loadEmployees([view = QPointer<AttendView>(this), queue = m_mainQueue](Json employees) {
        queue->async([view, employees = std::move(employees)] {
            if (view)
                view->showEmployees(employees);
        });
    });
}

void AttendView::buttonAction(ZUMButton* sender) {
    if (sender->name() != QStringLiteral("ok"))
        return closeWindow();
    const ZUMComboBox* combo = container()->combobox().value(keepUser);
    if (!combo || combo->selectedIndex() < 1)
        return m_alert->show("従業員を選択して下さい");
    emit m_notifications->didStampoAttend(QVariantMap{{keepUser, combo->selectedValue(QStringLiteral("code"))}});
    closeWindow();
}

void AttendView::loadEmployees(Completion completion) const {
    const Connection c = Connection::fromStoreOrEmpty(*m_store);
    if (m_store->stringForKey(SettingsKeys::typeKey(SettingsKeys::fieldUser)) == "USER_SELECT") {
        m_kintone.getUsers(
            0, Kintone::usersPrefix(c), usersPageSize, c.authCode, c.proxy, ignoreFailure,
            std::make_shared<Json>(Json::array()),
            [completion = std::move(completion)](const Json& users) { completion(employeesFromUsers(users)); });
        return;
    }
    m_kintone.getFormFields(
        c,
        [store = m_store, kintone = m_kintone, completion = std::move(completion)](const Json& properties) {
            loadLookupRecords(store, kintone, properties, completion);
        },
        ignoreFailure);
}

void AttendView::showEmployees(const Json& employees) {
    ZUMComboBox* combo = container()->combobox().value(keepUser);
    if (!combo)
        return;
    combo->setDatasource({});
    combo->clear();
    QList<QVariantMap> datasource;
    for (const Json& entry : employees)
        datasource.append(toVariantMap(entry));
    combo->setDatasource(datasource);
    for (const QVariantMap& entry : combo->datasource())
        combo->addItem(entry.value(QStringLiteral("name")).toString());
    combo->setCurrentIndex(static_cast<int>(preselectedEmployee(employees, text(*m_store, keepUser))));
    // Typing then replaces the preselected name instead of adding to it.
    if (QLineEdit* typed = combo->lineEdit())
        typed->selectAll();
}

} // namespace stampo

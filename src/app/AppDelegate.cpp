#include "app/AppDelegate.h"

#include "app/Attendance.h"
#include "app/PowerEvents.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "app/TrayIcon.h"
#include "attend/AttendView.h"
#include "settings/SettingView.h"
#include "widgets/Alert.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"

#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

namespace stampo {

namespace {

constexpr const char* applicationName = "Stampo";
constexpr const char* unconfiguredMessage = "Kintone設定が未登録です";
constexpr const char* onDutyMessage = "勤務中です";
constexpr const char* offDutyMessage = "勤務が開始されておりません";

// A tray icon cannot carry a text title, so the name's initial is drawn as the icon: stroked as two arcs rather than
// set in a font, because the first text drawn loads the font database, which would hold the icon back at start-up.
QIcon drawIcon() {
    constexpr int size = 64;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x1f, 0x6f, 0xb2));
    painter.drawRoundedRect(QRectF(2, 2, size - 4, size - 4), 12, 12);
    const QRectF upper(20, 13, 24, 20);
    const QRectF lower(20, 31, 24, 20);
    QPainterPath initial;
    initial.arcMoveTo(upper, 25);
    initial.arcTo(upper, 25, 245);
    initial.arcTo(lower, 90, -245);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, 7.5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    painter.drawPath(initial);
    painter.end();
    return QIcon(pixmap);
}

std::optional<Attendance::UserInfo> toUserInfo(const QVariantMap& userInfo) {
    if (userInfo.isEmpty())
        return std::nullopt;
    Attendance::UserInfo converted;
    for (const auto& [key, value] : userInfo.asKeyValueRange())
        converted.emplace(key.toStdString(), value.toString().toStdString());
    return converted;
}

} // namespace

AppDelegate::AppDelegate(std::shared_ptr<SettingsStore> store, Kintone kintone,
                         std::shared_ptr<const Reachability> reachability, std::shared_ptr<MainQueue> mainQueue,
                         std::shared_ptr<Alert> alert, Notifications* notifications, QDBusConnection systemBus,
                         QDBusConnection sessionBus, QObject* parent)
    : QObject(parent)
    , m_store(std::move(store))
    , m_kintone(std::move(kintone))
    , m_mainQueue(std::move(mainQueue))
    , m_alert(std::move(alert))
    , m_notifications(notifications)
    , m_systemBus(std::move(systemBus))
    , m_sessionBus(std::move(sessionBus))
    , m_attendance(std::make_shared<Attendance>(m_store, m_kintone, std::move(reachability), m_mainQueue, m_alert)) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    buildMenu();
    m_attendWindow = std::make_unique<FormWindow>(
        new AttendView(m_store, m_kintone, m_mainQueue, m_alert, m_notifications), "勤務開始", false);
    m_settingWindow = std::make_unique<FormWindow>(
        new SettingView(m_store, m_kintone, m_mainQueue, m_alert, m_notifications), "Kintone設定", false);
    SettingsKeys::seed(*m_store);
    if (!isConfigured()) {
        m_alert->show(unconfiguredMessage);
        m_settingWindow->present();
    } else {
        m_attendWindow->present();
    }
    observe();
    // Before the machine sleeps or powers off, the open working day ends; on waking the employee window offers the
    // next work start.
    m_powerEvents =
        std::make_unique<PowerEvents>(m_systemBus, [attendance = m_attendance] { attendance->endWork(false); });
    connect(m_powerEvents.get(), &PowerEvents::didWake, this, [this] { m_attendWindow->present(); });
}

void AppDelegate::buildMenu() {
    m_menu = std::make_unique<QMenu>();
    m_menu->addAction("勤務開始", this, &AppDelegate::workstart);
    m_menu->addAction("勤務終了", this, &AppDelegate::workend);
    m_menu->addAction("Kintone設定", this, &AppDelegate::setting);

    m_trayIcon = std::make_unique<TrayIcon>(m_sessionBus, m_menu.get());
    m_trayIcon->setIcon(drawIcon());
    m_trayIcon->setToolTip(applicationName);
    m_trayIcon->show();
}

void AppDelegate::observe() {
    connect(
        m_notifications, &Notifications::didStampoAttend, this,
        [attendance = m_attendance](const QVariantMap& userInfo) { attendance->didStampoAttend(toUserInfo(userInfo)); },
        Qt::DirectConnection);
    connect(
        m_notifications, &Notifications::didStampoSetting, this, [this] { m_attendWindow->present(); },
        Qt::DirectConnection);
}

bool AppDelegate::isConfigured() const {
    return !m_store->stringForKey("subDomain").value_or("").empty();
}

bool AppDelegate::requireConfigured() const {
    if (isConfigured())
        return true;
    m_alert->show(unconfiguredMessage);
    return false;
}

void AppDelegate::workstart() {
    if (!requireConfigured())
        return;
    if (!m_attendance->recordno().empty())
        return m_alert->show(onDutyMessage);
    m_attendWindow->present();
}

void AppDelegate::workend() {
    if (!requireConfigured())
        return;
    if (m_attendance->recordno().empty())
        return m_alert->show(offDutyMessage);
    m_attendance->endWork(true);
}

void AppDelegate::setting() {
    m_settingWindow->present();
}

void AppDelegate::reopen() {
    if (!isConfigured())
        m_settingWindow->present();
    else if (m_attendance->recordno().empty())
        m_attendWindow->present();
}

} // namespace stampo

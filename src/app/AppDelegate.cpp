#include "AppDelegate.h"

#include "Alert.h"
#include "MainQueue.h"
#include "PowerEvents.h"
#include "SettingsStore.h"
#include "TrayIcon.h"
#include "attend/AttendView.h"
#include "attendance/Attendance.h"
#include "settings/SettingView.h"
#include "settings/SettingsKeys.h"
#include "widgets/FormWindow.h"
#include "widgets/Notifications.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>
#include <QPointer>

#include <pthread.h>

namespace stampo {

namespace {

constexpr const char* applicationName = "Stampo";
constexpr const char* unconfiguredMessage = "Kintone設定が未登録です";
constexpr const char* onDutyMessage = "勤務中です";
constexpr const char* offDutyMessage = "勤務が開始されておりません";
constexpr const char* sendingTip = "Stampo — 送信中…";
constexpr const char* onDutyTip = "Stampo — 勤務中 (%1〜)";
constexpr const char* pendingTip = "Stampo — 未送信の勤務終了があります";

// A tray icon cannot carry a text title, so the name's initial is drawn as the icon: stroked as two arcs rather than
// set in a font, because the first text drawn loads the font database, which would hold the icon back at start-up.
// On duty it is green and filled; off duty a grey outline, so that the two differ in more than their hue.
QIcon drawIcon(bool onDuty) {
    constexpr int size = 64;
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor dutyColour = onDuty ? QColor(0x2e, 0x7d, 0x32) : QColor(0x61, 0x61, 0x61);
    if (onDuty) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(dutyColour);
    } else {
        painter.setPen(QPen(dutyColour, 5));
        painter.setBrush(Qt::white);
    }
    painter.drawRoundedRect(QRectF(4, 4, size - 8, size - 8), 11, 11);
    const QRectF upper(20, 13, 24, 20);
    const QRectF lower(20, 31, 24, 20);
    QPainterPath initial;
    initial.arcMoveTo(upper, 25);
    initial.arcTo(upper, 25, 245);
    initial.arcTo(lower, 90, -245);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(onDuty ? QColor(Qt::white) : dutyColour, 7.5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
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
    , m_attendance(std::make_shared<Attendance>(m_store, m_kintone, std::move(reachability), m_mainQueue, m_alert)) {
    // Changes come from kintone's worker threads; the tray is updated on the main thread.
    m_attendance->setStateListener([queue = m_mainQueue, self = QPointer<AppDelegate>(this)] {
        queue->async([self] {
            if (self)
                self->showState();
        });
    });
    qApp->installEventFilter(this);
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::showTray() {
    if (!m_trayIcon)
        buildMenu();
}

void AppDelegate::applicationDidFinishLaunching() {
    showTray();
    m_attendWindow = std::make_unique<FormWindow>(
        new AttendView(m_store, m_kintone, m_mainQueue, m_alert, m_notifications), "勤務開始", false);
    m_settingWindow = std::make_unique<FormWindow>(
        new SettingView(m_store, m_kintone, m_mainQueue, m_alert, m_notifications), "Kintone設定", false);
    SettingsKeys::seed(*m_store);
    m_launched = true;
    showState();
    if (!isConfigured()) {
        m_alert->show(unconfiguredMessage);
        m_settingWindow->present();
    } else {
        m_attendWindow->present();
    }
    observe();
    // Before the machine sleeps or powers off, the open working day ends; on waking the employee window offers the
    // next work start.
    m_powerEvents = std::make_unique<PowerEvents>(
        m_systemBus,
        [attendance = m_attendance](std::chrono::steady_clock::time_point deadline) {
            attendance->endBySelf(Attendance::Ending::Suspend, deadline);
        },
        [kintone = m_kintone](std::function<void()> work) { return kintone.startThread(std::move(work)); });
    connect(m_powerEvents.get(), &PowerEvents::didWake, this, [this] { m_attendWindow->present(); });
}

void AppDelegate::buildMenu() {
    m_menu = std::make_unique<QMenu>();
    m_menu->addAction("勤務開始", this, &AppDelegate::workstart);
    m_menu->addAction("勤務終了", this, &AppDelegate::workend);
    m_menu->addAction("Kintone設定", this, &AppDelegate::setting);

    m_trayIcon = std::make_unique<TrayIcon>(m_sessionBus, m_menu.get());
    showState();
    m_trayIcon->show();
}

void AppDelegate::observe() {
    connect(
        m_notifications, &Notifications::didStampoAttend, this,
        [attendance = m_attendance](const QVariantMap& userInfo) {
            attendance->didStampoAttend(toUserInfo(userInfo));
        },
        Qt::DirectConnection);
    connect(
        m_notifications, &Notifications::didStampoSetting, this, [this] { m_attendWindow->present(); },
        Qt::DirectConnection);
}

// Qt turns the session manager's Die into a quit request, which would end the event loop at once: any quit request
// but the application's own is the session's end.
bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched != qApp || event->type() != QEvent::Quit || m_quitting)
        return false;
    emit quitRequested();
    return true;
}

void AppDelegate::quit() {
    m_quitting = true;
    QCoreApplication::quit();
}

bool AppDelegate::isConfigured() const {
    return !m_store->stringForKey(SettingsKeys::subDomain).value_or("").empty();
}

bool AppDelegate::requireConfigured() const {
    if (isConfigured())
        return true;
    m_alert->show(unconfiguredMessage);
    return false;
}

void AppDelegate::showState() {
    if (m_trayIcon)
        showStateInTray();
    emit stateShown();
}

void AppDelegate::showStateInTray() {
    // Nothing can be asked before the windows exist; while a work start or work end is on its way, neither can be
    // asked again: it would be sent twice.
    const bool sending = m_attendance->isSending();
    const QList<QAction*> commands = m_menu->actions();
    for (qsizetype i = 0; i < commands.size(); ++i)
        commands[i]->setEnabled(m_launched && !(sending && i < 2));
    const bool onDuty = !m_attendance->recordno().empty();
    QString tip = QString::fromUtf8(applicationName);
    if (sending) {
        tip = QString::fromUtf8(sendingTip);
    } else if (onDuty) {
        const auto started = std::chrono::system_clock::to_time_t(m_attendance->startedAt());
        tip =
            QString::fromUtf8(onDutyTip).arg(QDateTime::fromSecsSinceEpoch(started).toString(QStringLiteral("HH:mm")));
    } else if (m_attendance->hasPendingWorkEnd()) {
        tip = QString::fromUtf8(pendingTip);
    }
    m_trayIcon->setToolTip(tip);
    if (!m_iconOnDuty || *m_iconOnDuty != onDuty) {
        m_trayIcon->setIcon(drawIcon(onDuty));
        m_iconOnDuty = onDuty;
    }
}

std::chrono::steady_clock::time_point AppDelegate::sessionDeadline(std::chrono::milliseconds limit) {
    std::call_once(m_sessionEnding, [this, limit] { m_sessionDeadline = std::chrono::steady_clock::now() + limit; });
    return m_sessionDeadline;
}

void AppDelegate::sessionEnds(std::function<void()> ended, std::chrono::milliseconds limit) {
    const auto deadline = sessionDeadline(limit);
    // The main thread stays free meanwhile: the session manager and the tray may still talk to it.
    const auto end = [attendance = m_attendance, queue = m_mainQueue, deadline, ended = std::move(ended)] {
        attendance->endBySelf(Attendance::Ending::Session, deadline);
        queue->async(ended);
    };
    const bool started = m_kintone.startThread([end] {
        // So that one can see the session's end under way (ps -L, /proc/PID/task).
        pthread_setname_np(pthread_self(), "stampo-ending");
        end();
    });
    if (!started)
        end();
}

bool AppDelegate::sessionEndsNow(std::chrono::milliseconds limit) {
    return m_attendance->endBySelf(Attendance::Ending::Session, sessionDeadline(limit));
}

void AppDelegate::workstart() {
    if (!m_launched || m_attendance->isSending() || !requireConfigured())
        return;
    if (!m_attendance->recordno().empty())
        return m_alert->show(onDutyMessage);
    m_attendWindow->present();
}

void AppDelegate::workend() {
    if (!m_launched || m_attendance->isSending() || !requireConfigured())
        return;
    if (m_attendance->recordno().empty())
        return m_alert->show(offDutyMessage);
    // Off the main thread: the tray, the windows and their alerts stay usable until kintone answers.
    m_attendance->endWorkInBackground(true);
}

void AppDelegate::setting() {
    if (m_launched)
        m_settingWindow->present();
}

void AppDelegate::reopen() {
    if (!isConfigured())
        m_settingWindow->present();
    else if (m_attendance->recordno().empty())
        m_attendWindow->present();
}

} // namespace stampo

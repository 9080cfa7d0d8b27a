#pragma once

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QDBusMessage;
class QIcon;
class QMenu;

namespace stampo {

// An image as StatusNotifierItem carries it: ARGB32 pixels in network byte order.
struct StatusNotifierPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};

struct StatusNotifierToolTip {
    QString iconName;
    QList<StatusNotifierPixmap> pixmaps;
    QString title;
    QString description;
};

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip);

// The tray icon for StatusNotifierItem hosts (KDE Plasma, the AppIndicator extension, most panels): the item and its
// menu served on the session bus, registered with each StatusNotifierWatcher that appears, a restarted one too.
class StatusNotifierItem final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QList<stampo::StatusNotifierPixmap> IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ iconName)
    Q_PROPERTY(QList<stampo::StatusNotifierPixmap> OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(QList<stampo::StatusNotifierPixmap> AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString IconThemePath READ iconName)
    Q_PROPERTY(stampo::StatusNotifierToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
public:
    // `menu` must outlive the item. Without a connected `bus` no host will show it.
    StatusNotifierItem(QDBusConnection bus, QMenu* menu, QObject* parent = nullptr);

    void setIcon(const QIcon& icon);
    // The tool tip is the item's title too.
    void setToolTip(const QString& toolTip);
    // Registers with the watcher, now if there is one and again whenever one appears; trayChanged follows.
    void start();
    // Whether a StatusNotifierItem host is there, as the watcher last said; false without a watcher.
    bool hostRegistered() const { return m_hostRegistered; }
    // Whether a host shows the item: registered with a watcher that has a host.
    bool isShown() const { return m_registered && m_hostRegistered; }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("stampo"); }
    QString title() const { return m_toolTip; }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    // Named icons come from an icon theme; ours is drawn, so every name, the theme's path too, is empty. Hosts ask
    // for every property, the overlay and attention pixmaps too, which it has none of.
    QString iconName() const { return {}; }
    QList<StatusNotifierPixmap> noPixmaps() const { return {}; }
    QList<StatusNotifierPixmap> iconPixmap() const { return m_pixmaps; }
    StatusNotifierToolTip toolTip() const { return {{}, {}, m_toolTip, {}}; }
    // Hosts that show dbusmenu menus open ours on any click.
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const;

public slots:
    // Hosts that do not show the menu themselves call these with the screen position to open it at.
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

signals:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewToolTip();
    // Declared for hosts that subscribe to it; the status stays "Active".
    Q_SCRIPTABLE void NewStatus(const QString& status);
    // hostRegistered() or isShown() may have changed: once after start() and whenever a watcher or host comes or goes.
    void trayChanged();

private slots:
    // Called through QtDBus by name, hence a slot.
    void askForHost();

private:
    void call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> answered);
    void watcherChanged(const QString& owner);

    QDBusConnection m_bus;
    QMenu* const m_menu;
    QString m_toolTip;
    QList<StatusNotifierPixmap> m_pixmaps;
    // Registered with the watcher there is now.
    bool m_registered = false;
    bool m_hostRegistered = false;
};

} // namespace stampo

Q_DECLARE_METATYPE(stampo::StatusNotifierPixmap)
Q_DECLARE_METATYPE(stampo::StatusNotifierToolTip)

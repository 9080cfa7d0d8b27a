#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QString>

class QMenu;
class QSystemTrayIcon;

namespace stampo {

class StatusNotifierItem;

// The tray icon on whichever tray the desktop has: our StatusNotifierItem where a host shows it, Qt's XEmbed icon
// otherwise, switching as panels come and go.
class TrayIcon final : public QObject {
    Q_OBJECT
public:
    // `menu` must outlive the icon; it opens on a click. Without a connected `sessionBus` only XEmbed is tried.
    TrayIcon(QDBusConnection sessionBus, QMenu* menu, QObject* parent = nullptr);

    void setIcon(const QIcon& icon);
    void setToolTip(const QString& toolTip);
    // Puts the icon up, on the trays there are now and on those that appear later.
    void show();

    QIcon icon() const { return m_icon; }
    QString toolTip() const { return m_toolTip; }
    QMenu* menu() const { return m_menu; }
    const StatusNotifierItem* statusNotifierItem() const { return m_item; }
    // Null until no StatusNotifierItem host is there.
    QSystemTrayIcon* xembedIcon() const { return m_xembed; }

private:
    void followTray();
    QSystemTrayIcon* makeXEmbedIcon();

    QMenu* const m_menu;
    StatusNotifierItem* const m_item;
    QIcon m_icon;
    QString m_toolTip;
    QSystemTrayIcon* m_xembed = nullptr;
};

} // namespace stampo

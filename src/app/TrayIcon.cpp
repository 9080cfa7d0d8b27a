#include "TrayIcon.h"

#include "StatusNotifierItem.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

namespace stampo {

TrayIcon::TrayIcon(QDBusConnection sessionBus, QMenu* menu, QObject* parent)
    : QObject(parent)
    , m_menu(menu)
    , m_item(new StatusNotifierItem(std::move(sessionBus), menu, this)) {
    connect(m_item, &StatusNotifierItem::trayChanged, this, &TrayIcon::followTray);
}

void TrayIcon::setIcon(const QIcon& icon) {
    m_icon = icon;
    m_item->setIcon(icon);
    if (m_xembed)
        m_xembed->setIcon(icon);
}

void TrayIcon::setToolTip(const QString& toolTip) {
    m_toolTip = toolTip;
    m_item->setToolTip(toolTip);
    if (m_xembed)
        m_xembed->setToolTip(toolTip);
}

void TrayIcon::show() {
    m_item->start();
}

void TrayIcon::followTray() {
    if (!m_xembed && !m_item->hostRegistered())
        m_xembed = makeXEmbedIcon();
    // One icon only where a desktop has both kinds of tray, or xembed-sni-proxy turns XEmbed icons into items.
    // Without an XEmbed tray yet, Qt keeps the icon and shows it once one appears.
    if (m_xembed)
        m_xembed->setVisible(!m_item->isShown());
}

// Qt chooses between its own StatusNotifierItem and XEmbed once per run, at the first QSystemTrayIcon, by asking the
// watcher whether a host is registered. Made while none is, the icon is XEmbed for good; made while one is, it would
// be a second item beside ours, and one that vanishes for the rest of the run should that panel go.
QSystemTrayIcon* TrayIcon::makeXEmbedIcon() {
    auto* const icon = new QSystemTrayIcon(m_icon, this);
    icon->setToolTip(m_toolTip);
    icon->setContextMenu(m_menu);
    // The right click opens the context menu by itself; the left click opens the same menu, at the pointer.
    connect(icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            m_menu->popup(QCursor::pos());
    });
    return icon;
}

} // namespace stampo

#include "StatusNotifierItem.h"

#include "DBusMenuExporter.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QtEndian>

namespace stampo {

namespace {

const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
// Hosts pick the size nearest their panel's from these.
constexpr int pixmapSizes[] = {16, 22, 32, 64};

QList<StatusNotifierPixmap> pixmapsOf(const QIcon& icon) {
    QList<StatusNotifierPixmap> pixmaps;
    for (const int size : pixmapSizes) {
        const QImage image = icon.pixmap(QSize(size, size), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        // Each row of ARGB32 is whole 32-bit pixels, so the image is one run of them.
        QByteArray argb(image.sizeInBytes(), Qt::Uninitialized);
        qToBigEndian<quint32>(image.constBits(), image.width() * image.height(), argb.data());
        pixmaps << StatusNotifierPixmap{image.width(), image.height(), argb};
    }
    return pixmaps;
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip) {
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.description;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip) {
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.description;
    argument.endStructure();
    return argument;
}

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QMenu* menu, QObject* parent)
    : QObject(parent)
    , m_bus(bus)
    , m_menu(menu) {
    qDBusRegisterMetaType<StatusNotifierPixmap>();
    qDBusRegisterMetaType<QList<StatusNotifierPixmap>>();
    qDBusRegisterMetaType<StatusNotifierToolTip>();
    new DBusMenuExporter(bus, menuPath, menu, this);
    bus.registerObject(itemPath, this, QDBusConnection::ExportScriptableContents);
}

QDBusObjectPath StatusNotifierItem::menu() const {
    return QDBusObjectPath(menuPath);
}

void StatusNotifierItem::setIcon(const QIcon& icon) {
    m_pixmaps = pixmapsOf(icon);
    emit NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& toolTip) {
    m_toolTip = toolTip;
    emit NewTitle();
    emit NewToolTip();
}

void StatusNotifierItem::start() {
    if (!m_bus.isConnected())
        return emit trayChanged();
    // A new owner is a watcher that knows nothing of us yet: a panel started or restarted.
    auto* const watcher =
        new QDBusServiceWatcher(watcherService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { watcherChanged(owner); });
    // QtDBus delivers a bus signal only to a slot named by its signature: it has no pointer-to-member form.
    for (const char* const signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        m_bus.connect(watcherService, watcherPath, watcherInterface, QLatin1String(signal), this, SLOT(askForHost()));
    // Asked once the watch is set, so a watcher appearing meanwhile is reported by the answer, the watch or, in a
    // close race, both: registering the same name twice changes nothing. The bus itself answers, at once, as it
    // answers Qt's own question at the first tray icon: without a watcher the XEmbed icon comes up before the
    // windows are made.
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(watcherService);
    watcherChanged(owner.isValid() ? owner.value() : QString());
}

void StatusNotifierItem::ContextMenu(int x, int y) {
    m_menu->popup(QPoint(x, y));
}

void StatusNotifierItem::Activate(int x, int y) {
    m_menu->popup(QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int x, int y) {
    Q_UNUSED(x)
    Q_UNUSED(y)
}

void StatusNotifierItem::Scroll(int delta, const QString& orientation) {
    Q_UNUSED(delta)
    Q_UNUSED(orientation)
}

void StatusNotifierItem::call(const QDBusMessage& message, std::function<void(const QDBusMessage&)> answered) {
    auto* const pending = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [pending, answered = std::move(answered)] {
        pending->deleteLater();
        answered(pending->reply());
    });
}

void StatusNotifierItem::watcherChanged(const QString& owner) {
    m_registered = false;
    m_hostRegistered = false;
    if (owner.isEmpty())
        return emit trayChanged();
    QDBusMessage registration =
        QDBusMessage::createMethodCall(watcherService, watcherPath, watcherInterface, "RegisterStatusNotifierItem");
    // Our unique name: the watcher finds the item at its usual path there.
    registration << m_bus.baseService();
    call(registration, [this](const QDBusMessage& reply) {
        m_registered = reply.type() == QDBusMessage::ReplyMessage;
        askForHost();
    });
}

void StatusNotifierItem::askForHost() {
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), "Get");
    get << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    call(get, [this](const QDBusMessage& reply) {
        m_hostRegistered = reply.type() == QDBusMessage::ReplyMessage &&
                           reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
        emit trayChanged();
    });
}

} // namespace stampo

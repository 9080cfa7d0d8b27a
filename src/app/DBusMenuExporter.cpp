#include "DBusMenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusMetaType>
#include <QMenu>

namespace stampo {

namespace {

// dbusmenu reads "_" as the mnemonic marker, like Qt's "&": a literal one is doubled.
QString label(const QAction& action) {
    return action.text().replace(QLatin1Char('_'), QStringLiteral("__"));
}

QVariantMap actionProperties(const QAction& action) {
    return {{QStringLiteral("label"), label(action)},
            {QStringLiteral("enabled"), action.isEnabled()},
            {QStringLiteral("visible"), action.isVisible()}};
}

// Only the properties a host asked for; an empty list asks for all.
QVariantMap only(const QVariantMap& properties, const QStringList& names) {
    if (names.isEmpty())
        return properties;
    QVariantMap chosen;
    for (const QString& name : names) {
        if (const auto found = properties.constFind(name); found != properties.constEnd())
            chosen.insert(name, *found);
    }
    return chosen;
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const DBusMenuLayoutItem& child : item.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    item.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children << qdbus_cast<DBusMenuLayoutItem>(child.variant());
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemPropertyNames& item) {
    argument.beginStructure();
    argument << item.id << item.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemPropertyNames& item) {
    argument.beginStructure();
    argument >> item.id >> item.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

DBusMenuExporter::DBusMenuExporter(QDBusConnection bus, const QString& path, QMenu* menu, QObject* parent)
    : QObject(parent)
    , m_menu(menu) {
    qDBusRegisterMetaType<DBusMenuLayoutItem>();
    qDBusRegisterMetaType<DBusMenuItemProperties>();
    qDBusRegisterMetaType<QList<DBusMenuItemProperties>>();
    qDBusRegisterMetaType<DBusMenuItemPropertyNames>();
    qDBusRegisterMetaType<QList<DBusMenuItemPropertyNames>>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<QList<DBusMenuEvent>>();
    for (QAction* action : m_menu->actions())
        m_ids.insert(action, m_nextId++);
    // The menu's action events tell of every action added, removed or changed.
    m_menu->installEventFilter(this);
    bus.registerObject(path, this, QDBusConnection::ExportScriptableContents);
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                 DBusMenuLayoutItem& layout) {
    const std::optional<QVariantMap> properties = propertiesOf(parentId);
    if (!properties) {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No menu item %1").arg(parentId));
        return m_revision;
    }
    layout = {parentId, only(*properties, propertyNames), {}};
    if (parentId == 0 && recursionDepth != 0) {
        for (QAction* action : m_menu->actions())
            layout.children << DBusMenuLayoutItem{
                m_ids.value(action), only(actionProperties(*action), propertyNames), {}};
    }
    return m_revision;
}

QList<DBusMenuItemProperties> DBusMenuExporter::GetGroupProperties(const QList<int>& ids,
                                                                   const QStringList& propertyNames) {
    QList<DBusMenuItemProperties> group;
    for (const int id : ids) {
        if (const std::optional<QVariantMap> properties = propertiesOf(id))
            group << DBusMenuItemProperties{id, only(*properties, propertyNames)};
    }
    return group;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString& name) {
    const QVariant value = propertiesOf(id).value_or(QVariantMap()).value(name);
    if (!value.isValid())
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No property %1 of menu item %2").arg(name).arg(id));
    return QDBusVariant(value);
}

void DBusMenuExporter::Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp) {
    Q_UNUSED(data)
    Q_UNUSED(timestamp)
    QAction* const action = actionOf(id);
    // From the event loop, once the host has its answer: an action may run a modal alert meanwhile.
    if (action && eventId == QLatin1String("clicked"))
        QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
}

QList<int> DBusMenuExporter::EventGroup(const QList<DBusMenuEvent>& events) {
    QList<int> idErrors;
    for (const DBusMenuEvent& event : events) {
        if (!propertiesOf(event.id))
            idErrors << event.id;
        Event(event.id, event.eventId, event.data, event.timestamp);
    }
    return idErrors;
}

bool DBusMenuExporter::AboutToShow(int id) {
    Q_UNUSED(id)
    return false;
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    Q_UNUSED(ids)
    Q_UNUSED(idErrors)
    return {};
}

bool DBusMenuExporter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ActionAdded:
        m_ids.insert(static_cast<QActionEvent*>(event)->action(), m_nextId++);
        emit LayoutUpdated(++m_revision, 0);
        break;
    case QEvent::ActionRemoved:
        m_ids.remove(static_cast<QActionEvent*>(event)->action());
        emit LayoutUpdated(++m_revision, 0);
        break;
    case QEvent::ActionChanged: {
        QAction* const action = static_cast<QActionEvent*>(event)->action();
        emit ItemsPropertiesUpdated({{m_ids.value(action), actionProperties(*action)}}, {});
        break;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

QAction* DBusMenuExporter::actionOf(int id) const {
    return m_ids.key(id, nullptr);
}

std::optional<QVariantMap> DBusMenuExporter::propertiesOf(int id) const {
    if (id == 0)
        return QVariantMap{{QStringLiteral("children-display"), QStringLiteral("submenu")}};
    if (const QAction* action = actionOf(id))
        return actionProperties(*action);
    return std::nullopt;
}

} // namespace stampo

#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusVariant>
#include <QHash>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <optional>

class QAction;
class QMenu;

namespace stampo {

// An item of the menu's layout as GetLayout answers it, with the items below it.
struct DBusMenuLayoutItem {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayoutItem> children;
};

// One item's properties, as GetGroupProperties and ItemsPropertiesUpdated carry them.
struct DBusMenuItemProperties {
    int id = 0;
    QVariantMap properties;
};

// The names of properties an item no longer has (ItemsPropertiesUpdated).
struct DBusMenuItemPropertyNames {
    int id = 0;
    QStringList names;
};

// One event of an EventGroup call.
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayoutItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayoutItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemPropertyNames& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemPropertyNames& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

// Serves a flat QMenu as com.canonical.dbusmenu, so that a StatusNotifierItem host can draw the menu itself. Items
// are numbered from 1 in the order their actions joined the menu; 0 is the root.
class DBusMenuExporter final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)
public:
    // `menu` must outlive the exporter. Nothing is served when `bus` is not connected.
    DBusMenuExporter(QDBusConnection bus, const QString& path, QMenu* menu, QObject* parent = nullptr);

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                stampo::DBusMenuLayoutItem& layout);
    Q_SCRIPTABLE QList<stampo::DBusMenuItemProperties> GetGroupProperties(const QList<int>& ids,
                                                                          const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const QList<stampo::DBusMenuEvent>& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const QList<stampo::DBusMenuItemProperties>& updatedProps,
                                             const QList<stampo::DBusMenuItemPropertyNames>& removedProps);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* actionOf(int id) const;
    // All properties of item `id`; none for an unknown id.
    std::optional<QVariantMap> propertiesOf(int id) const;

    QMenu* const m_menu;
    QHash<QAction*, int> m_ids;
    int m_nextId = 1;
    uint m_revision = 1;
};

} // namespace stampo

Q_DECLARE_METATYPE(stampo::DBusMenuLayoutItem)
Q_DECLARE_METATYPE(stampo::DBusMenuItemProperties)
Q_DECLARE_METATYPE(stampo::DBusMenuItemPropertyNames)
Q_DECLARE_METATYPE(stampo::DBusMenuEvent)

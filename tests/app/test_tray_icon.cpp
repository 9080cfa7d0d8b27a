#include "DBusMenuExporter.h"
#include "StatusNotifierItem.h"
#include "TrayIcon.h"
#include "support/LogindMock.h"

#include <QAction>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusVariant>
#include <QMenu>
#include <QMultiHash>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QtEndian>

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

using namespace stampo;
using namespace stampo::test;

namespace {

const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

// The one value a reply of Get carries.
QVariant valueOf(const QDBusMessage& reply) {
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

// python-dbusmock serving a panel's StatusNotifierWatcher (support/status_notifier_watcher.py), with or without a host
// registered; one that `refusesItems` answers each registration with an error. It goes with the object, as the
// watcher does when its panel quits.
class Watcher final : public DBusMock {
public:
    Watcher(const PrivateBus& bus, bool host, bool refusesItems = false)
        : DBusMock(bus, false, STAMPO_SNI_WATCHER_TEMPLATE,
                   QStringLiteral(R"({"host": %1, "refuse": %2})")
                       .arg(host ? "true" : "false", refusesItems ? "true" : "false"),
                   interface, "/StatusNotifierWatcher") {}

    // The items registered, each as its registration named it.
    QStringList items() const {
        return valueOf(call(properties, "Get", {interface, "RegisteredStatusNotifierItems"})).toStringList();
    }
    // A host registering with the watcher, or leaving it.
    bool setHost(bool registered) const {
        if (registered)
            return succeeds(interface, "RegisterStatusNotifierHost", {"org.kde.StatusNotifierHost-1"});
        return succeeds(properties, "Set",
                        {interface, "IsStatusNotifierHostRegistered", QVariant::fromValue(QDBusVariant(false))}) &&
               emitSignal(interface, "StatusNotifierHostUnregistered", {}, {});
    }

private:
    static inline const QString interface = QStringLiteral("org.kde.StatusNotifierWatcher");
};

QIcon filled(const QColor& color) {
    QPixmap pixmap(64, 64);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// A tray icon with the application's three entries, which are there before the icon, as in the application.
struct Tray {
    explicit Tray(const QDBusConnection& sessionBus)
        : icon(sessionBus, &menu) {
        icon.setIcon(filled(Qt::blue));
        icon.setToolTip("Stampo");
    }
    struct Entries final : QMenu {
        Entries() {
            for (const char* entry : {"勤務開始", "勤務終了", "Kintone設定"})
                addAction(entry);
        }
    } menu;
    TrayIcon icon;
};

// Does `change` and waits until the tray has heard again which trays there are.
bool settle(Tray& tray, const std::function<void()>& change) {
    bool told = false;
    const QObject listener; // the connection goes with it
    QObject::connect(tray.icon.statusNotifierItem(), &StatusNotifierItem::trayChanged, &listener, [&] { told = true; });
    change();
    return processEventsUntil([&] { return told; });
}

// A panel's host on a connection of its own: calls the item and its menu, and hears what they announce.
class Host final : public QObject {
    Q_OBJECT
public:
    Host(const PrivateBus& bus, QString service)
        : m_bus(QDBusConnection::connectToBus(bus.address(), m_name))
        , m_service(std::move(service)) {
        // QtDBus delivers a bus signal only to a slot named by its signature: it has no pointer-to-member form.
        for (const char* signal : {"NewTitle", "NewIcon", "NewToolTip", "ItemsPropertiesUpdated", "LayoutUpdated"})
            m_bus.connect(m_service, {}, {}, signal, this, SLOT(hear(QDBusMessage)));
    }
    ~Host() override { QDBusConnection::disconnectFromBus(m_name); }

    // A call to the item, or to its menu where the item says it is, not waited for.
    QDBusPendingCall send(const QString& interface, const QString& method, const QVariantList& arguments) const {
        const QString path = interface == menuInterface ? property("Menu").value<QDBusObjectPath>().path() : itemPath;
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
        message.setArguments(arguments);
        return m_bus.asyncCall(message);
    }
    // The same, answered while the event loop runs, so that the item of this very process can answer.
    QDBusMessage call(const QString& interface, const QString& method, const QVariantList& arguments) const {
        const QDBusPendingCallWatcher pending(send(interface, method, arguments));
        processEventsUntil([&] { return pending.isFinished(); });
        return pending.reply();
    }
    QVariant property(const QString& name) const { return valueOf(call(properties, "Get", {itemInterface, name})); }
    // The whole menu.
    DBusMenuLayoutItem layout() const {
        return qdbus_cast<DBusMenuLayoutItem>(
            call(menuInterface, "GetLayout", {0, -1, QStringList()}).arguments().value(1));
    }
    // The signals of that name heard since the last forget().
    QList<QDBusMessage> heard(const QString& name) const { return m_heard.values(name); }
    void forget() { m_heard.clear(); }

private slots:
    void hear(const QDBusMessage& message) { m_heard.insert(message.member(), message); }

private:
    const QString m_name = QStringLiteral("stampo-test-host");
    QDBusConnection m_bus;
    const QString m_service;
    QMultiHash<QString, QDBusMessage> m_heard;
};

// A tray whose item a host shows, and that host.
class HostedTrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(settle(tray, [&] { tray.icon.show(); }));
        ASSERT_TRUE(tray.icon.statusNotifierItem()->isShown());
        ASSERT_EQ(watcher.items(), QStringList{bus.connection().baseService()}) << "where a host finds the item";
    }

    PrivateBus bus;
    Watcher watcher{bus, true};
    Tray tray{bus.connection()};
    Host host{bus, bus.connection().baseService()};
};

TEST(TrayIconTest, PutsUpTheXEmbedIconOnlyWhileNoHostShowsTheItemAsWatchersAndHostsComeAndGo) {
    std::optional<PrivateBus> bus; // the tray and the watcher go first
    std::optional<Watcher> watcher;
    std::optional<Tray> tray;
    using Step = std::function<void()>;
    const Step show = [&] { tray->icon.show(); };
    const Step watcherWithHost = [&] { watcher.emplace(*bus, true); };
    const Step refusingWatcherWithHost = [&] { watcher.emplace(*bus, true, true); };
    const Step hostRegisters = [&] { EXPECT_TRUE(watcher->setHost(true)); };
    const Step hostLeaves = [&] { EXPECT_TRUE(watcher->setHost(false)); };
    const Step watcherQuits = [&] { watcher.reset(); };
    // Each run from its watcher at the start, if any, and whether its host is registered; then each step, and whether
    // the XEmbed icon is visible after it (none: never made). The item is shown exactly while that icon is not.
    const std::pair<std::optional<bool>, std::vector<std::pair<Step, std::optional<bool>>>> runs[] = {
        {true, {{show, std::nullopt}, {watcherQuits, true}, {watcherWithHost, false}}},
        {false, {{show, true}, {hostRegisters, false}, {hostLeaves, true}}},
        {std::nullopt, {{show, true}, {watcherWithHost, false}, {watcherQuits, true}, {refusingWatcherWithHost, true}}},
    };
    for (const auto& run : runs) {
        const auto& [watcherAtStart, steps] = run;
        tray.reset();
        watcher.reset();
        bus.emplace();
        if (watcherAtStart)
            watcher.emplace(*bus, *watcherAtStart);
        tray.emplace(bus->connection());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "run " << &run - runs << ", step " << i);
            ASSERT_TRUE(settle(*tray, steps[i].first));
            const QSystemTrayIcon* const xembed = tray->icon.xembedIcon();
            EXPECT_EQ(xembed ? std::optional(xembed->isVisible()) : std::nullopt, steps[i].second);
            EXPECT_EQ(tray->icon.statusNotifierItem()->isShown(), !steps[i].second.value_or(false));
        }
    }
}

TEST_F(HostedTrayTest, EitherTrayShowsTheToolTipIconAndEntriesAfterEachChangeAndHostsHearOfIt) {
    Tray xembedTray(QDBusConnection("no session bus"));
    ASSERT_TRUE(settle(xembedTray, [&] { xembedTray.icon.show(); }));
    QSystemTrayIcon& xembed = *xembedTray.icon.xembedIcon();
    EXPECT_EQ(xembed.contextMenu(), &xembedTray.menu) << "a right click opens the menu";
    emit xembed.activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(processEventsUntil([&] { return xembedTray.menu.isVisible(); })) << "and so does a left click";
    xembedTray.menu.hide();
    EXPECT_TRUE(host.property("ItemIsMenu").toBool());
    const QColor dark(0x12, 0x34, 0x56);
    struct Case {
        std::function<void(Tray&)> change;
        QStringList announced;
        QString toolTip;
        QColor color;
        bool workEndEnabled;
    };
    const Case cases[] = {
        {[](Tray&) {}, {}, "Stampo", Qt::blue, true},
        {[](Tray& t) { t.icon.setToolTip("勤務中"); }, {"NewTitle", "NewToolTip"}, "勤務中", Qt::blue, true},
        {[&](Tray& t) { t.icon.setIcon(filled(dark)); }, {"NewIcon"}, "勤務中", dark, true},
        {[](Tray& t) { t.menu.actions().at(1)->setEnabled(false); }, {"ItemsPropertiesUpdated"}, "勤務中", dark, false},
        {[](Tray& t) { t.menu.actions().at(1)->setEnabled(true); }, {"ItemsPropertiesUpdated"}, "勤務中", dark, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        host.forget();
        c.change(tray);
        c.change(xembedTray);
        EXPECT_EQ(xembed.toolTip(), c.toolTip);
        EXPECT_EQ(xembed.icon().pixmap(16).toImage().pixel(0, 0), c.color.rgba());
        for (const QString& name : c.announced)
            EXPECT_TRUE(processEventsUntil([&] { return !host.heard(name).isEmpty(); })) << name.toStdString();

        EXPECT_EQ(host.property("Title").toString(), c.toolTip);
        EXPECT_EQ(qdbus_cast<StatusNotifierToolTip>(host.property("ToolTip")).title, c.toolTip);
        std::vector<int> sizes;
        for (const StatusNotifierPixmap& pixmap :
             qdbus_cast<QList<StatusNotifierPixmap>>(host.property("IconPixmap"))) {
            sizes.push_back(pixmap.width);
            ASSERT_TRUE(pixmap.height == pixmap.width && pixmap.argb.size() == pixmap.width * pixmap.height * 4);
            // Alpha, red, green, blue in this order, whatever the machine's byte order.
            EXPECT_EQ(qFromBigEndian<quint32>(pixmap.argb.constData()), c.color.rgba());
        }
        EXPECT_EQ(sizes, std::vector<int>({16, 22, 32, 64}));

        const DBusMenuLayoutItem root = host.layout();
        EXPECT_EQ(root.properties.value("children-display").toString(), "submenu");
        std::vector<std::pair<QString, bool>> entries;
        QList<int> ids;
        for (const DBusMenuLayoutItem& item : root.children) {
            entries.emplace_back(item.properties.value("label").toString(), item.properties.value("enabled").toBool());
            ids << item.id;
        }
        EXPECT_EQ(entries, (std::vector<std::pair<QString, bool>>{
                               {"勤務開始", true}, {"勤務終了", c.workEndEnabled}, {"Kintone設定", true}}));
        // What a host that asks for the entries, or applies what was announced, ends up with.
        const QDBusMessage group =
            host.call(menuInterface, "GetGroupProperties", {QVariant::fromValue(ids), QStringList()});
        auto told = qdbus_cast<QList<DBusMenuItemProperties>>(group.arguments().value(0));
        EXPECT_EQ(told.size(), ids.size());
        for (const QDBusMessage& updated : host.heard("ItemsPropertiesUpdated"))
            told << qdbus_cast<QList<DBusMenuItemProperties>>(updated.arguments().value(0));
        for (const DBusMenuItemProperties& item : told)
            EXPECT_EQ(item.properties, root.children.value(ids.indexOf(item.id)).properties) << item.id;
    }

    // An entry added is announced with the menu's new revision; dbusmenu takes "_" for the mnemonic marker.
    const auto layout = [&] { return host.call(menuInterface, "GetLayout", {0, -1, QStringList()}).arguments(); };
    const uint revision = layout().value(0).toUInt();
    host.forget();
    tray.menu.addAction("休憩_開始");
    ASSERT_TRUE(processEventsUntil([&] { return !host.heard("LayoutUpdated").isEmpty(); }));
    const QVariantList added = layout();
    EXPECT_GT(added.value(0).toUInt(), revision);
    EXPECT_EQ(host.heard("LayoutUpdated").first().arguments().value(0), added.value(0));
    const DBusMenuLayoutItem root = qdbus_cast<DBusMenuLayoutItem>(added.value(1));
    EXPECT_EQ(root.children.value(3).properties.value("label").toString(), "休憩__開始");
}

TEST_F(HostedTrayTest, AClickTriggersItsEntryOnceAndOnlyOnceTheHostHasItsAnswer) {
    const DBusMenuLayoutItem root = host.layout();
    ASSERT_EQ(root.children.size(), 3);
    const std::tuple<const char*, int, const char*> cases[] = {
        {"Event", 0, "clicked"}, {"EventGroup", 2, "clicked"}, {"Event", 1, "hovered"}, {"EventGroup", -1, "clicked"}};
    for (const auto& [method, entry, event] : cases) {
        SCOPED_TRACE(testing::Message() << method << " " << entry << " " << event);
        const int id = entry < 0 ? 99 : root.children.at(entry).id; // an unknown one when -1
        const QDBusVariant data(0);
        const bool group = std::string_view(method) == "EventGroup";
        // The watcher's signal wakes the event loop when the answer comes.
        const QDBusPendingCallWatcher call(
            group ? host.send(menuInterface, method, {QVariant::fromValue(QList<DBusMenuEvent>{{id, event, data, 0}})})
                  : host.send(menuInterface, method, {id, event, QVariant::fromValue(data), 0u}));
        using Triggered = std::vector<std::pair<int, bool>>;
        Triggered triggered;    // each entry triggered, and whether the host had its answer then
        const QObject listener; // the connections go with it
        for (int i = 0; i < 3; ++i) {
            // An entry may bring up a modal alert: its event loop runs until the alert is dismissed.
            QObject::connect(tray.menu.actions().at(i), &QAction::triggered, &listener, [&, i] {
                triggered.emplace_back(i, processEventsUntil([&] { return call.isFinished(); }, 5s));
            });
        }
        const bool clicks = entry >= 0 && std::string_view(event) == "clicked";
        ASSERT_TRUE(processEventsUntil([&] { return call.isFinished() && triggered.size() >= (clicks ? 1u : 0u); }));
        EXPECT_EQ(triggered, (clicks ? Triggered{{entry, true}} : Triggered()));
        if (group) {
            EXPECT_EQ(QDBusReply<QList<int>>(call.reply()).value(), entry < 0 ? QList<int>{id} : QList<int>());
        }
    }
}

TEST_F(HostedTrayTest, AHostThatDrawsNoMenuHasOursOpenWhereItSays) {
    const std::pair<const char*, QPoint> cases[] = {{"Activate", {100, 120}}, {"ContextMenu", {300, 200}}};
    for (const auto& [method, at] : cases) {
        SCOPED_TRACE(method);
        host.call(itemInterface, method, {at.x(), at.y()});
        ASSERT_TRUE(processEventsUntil([&] { return tray.menu.isVisible(); }));
        EXPECT_LE((tray.menu.pos() - at).manhattanLength(), 4);
        tray.menu.hide();
    }
}

} // namespace

#include "test_tray_icon.moc"

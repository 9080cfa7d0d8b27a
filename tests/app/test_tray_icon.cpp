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

// The panels of tests/e2e show the item, open its menu of three entries, run an entry clicked and find the item again
// after a restart; these tests check what those cannot see.

using namespace stampo;
using namespace stampo::test;

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");

QIcon filled(const QColor& color) {
    QPixmap pixmap(64, 64);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// A tray icon with the application's three entries, which are there before the icon, as in the application.
struct Tray {
    explicit Tray(const QDBusConnection& sessionBus, bool shown = true)
        : icon(sessionBus, &menu) {
        icon.setIcon(filled(Qt::blue));
        icon.setToolTip("Stampo");
        if (shown)
            icon.show();
    }
    struct Entries final : QMenu {
        Entries() {
            for (const char* entry : {"勤務開始", "勤務終了", "Kintone設定"})
                addAction(entry);
        }
    } menu;
    TrayIcon icon;
};

// python-dbusmock serving a panel's StatusNotifierWatcher (support/status_notifier_watcher.py), with or without a host
// registered; one that `refusesItems` answers each registration with an error. It goes with the object, as the
// watcher does when its panel quits.
struct Watcher final : DBusMock {
    Watcher(const PrivateBus& bus, bool host, bool refusesItems = false)
        : DBusMock(bus, STAMPO_SNI_WATCHER_TEMPLATE,
                   QString(R"({"host": %1, "refuse": %2})").arg(host).arg(refusesItems), watcherInterface,
                   "/StatusNotifierWatcher") {}
};

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
        const QString path =
            interface == menuInterface ? property("Menu").value<QDBusObjectPath>().path() : "/StatusNotifierItem";
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
        message.setArguments(arguments);
        return m_bus.asyncCall(message);
    }
    // The same, answered while the event loop runs, so that the item of this very process can answer.
    QVariantList call(const QString& interface, const QString& method, const QVariantList& arguments) const {
        const QDBusPendingCallWatcher pending(send(interface, method, arguments));
        processEventsUntil([&] { return pending.isFinished(); });
        return pending.reply().arguments();
    }
    QVariant property(const QString& name) const {
        const QVariantList get = call("org.freedesktop.DBus.Properties", "Get", {itemInterface, name});
        return get.value(0).value<QDBusVariant>().variant();
    }
    // The menu's revision and its whole layout.
    std::pair<uint, DBusMenuLayoutItem> layout() const {
        const QVariantList reply = call(menuInterface, "GetLayout", {0, -1, QStringList()});
        return {reply.value(0).toUInt(), qdbus_cast<DBusMenuLayoutItem>(reply.value(1))};
    }
    // The signals heard, by name.
    QMultiHash<QString, QDBusMessage> heard;

private slots:
    void hear(const QDBusMessage& message) { heard.insert(message.member(), message); }

private:
    const QString m_name = QStringLiteral("stampo-test-host");
    QDBusConnection m_bus;
    const QString m_service;
};

TEST(TrayIconTest, PutsUpTheXEmbedIconOnlyWhileNoHostShowsTheItemAsWatchersAndHostsComeAndGo) {
    std::optional<PrivateBus> bus; // the tray and the watcher go first
    std::optional<Watcher> watcher;
    std::optional<Tray> tray;
    using Step = std::function<void()>;
    const Step show = [&] { tray->icon.show(); };
    const Step watcherWithHost = [&] { watcher.emplace(*bus, true); };
    const Step refusingWatcherWithHost = [&] { watcher.emplace(*bus, true, true); };
    const Step hostRegisters = [&] {
        EXPECT_TRUE(
            watcher->succeeds(watcherInterface, "RegisterStatusNotifierHost", {"org.kde.StatusNotifierHost-1"}));
    };
    const Step hostLeaves = [&] {
        EXPECT_TRUE(watcher->succeeds("org.freedesktop.DBus.Properties", "Set",
                                      {watcherInterface, "IsStatusNotifierHostRegistered",
                                       QVariant::fromValue(QDBusVariant(false))}) &&
                    watcher->emitSignal(watcherInterface, "StatusNotifierHostUnregistered", {}, {}));
    };
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
        tray.emplace(bus->connection(), false);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "run " << &run - runs << ", step " << i);
            // Each step is done once the tray has heard again which trays there are.
            bool told = false;
            const QObject listener; // the connection goes with it
            QObject::connect(tray->icon.statusNotifierItem(), &StatusNotifierItem::trayChanged, &listener,
                             [&] { told = true; });
            steps[i].first();
            ASSERT_TRUE(processEventsUntil([&] { return told; }));
            const QSystemTrayIcon* const xembed = tray->icon.xembedIcon();
            EXPECT_EQ(xembed ? std::optional(xembed->isVisible()) : std::nullopt, steps[i].second);
            EXPECT_EQ(tray->icon.statusNotifierItem()->isShown(), !steps[i].second.value_or(false));
        }
    }
}

// A tray whose item a host shows (python-dbusmock serving a panel's StatusNotifierWatcher), walked through by that
// host.
TEST(HostedTrayTest, OpensOurMenuWhereAskedTriggersAClickedEntryOnceAnsweredAndShowsAndAnnouncesEachChange) {
    PrivateBus bus;
    const Watcher watcher(bus, true);
    Tray tray(bus.connection());
    Host host(bus, bus.connection().baseService());
    ASSERT_TRUE(pollUntil([&] { return tray.icon.statusNotifierItem()->isShown(); }));

    // A host that draws no menu has ours open where it says.
    const std::pair<const char*, QPoint> openings[] = {{"Activate", {100, 120}}, {"ContextMenu", {300, 200}}};
    for (const auto& [method, at] : openings) {
        SCOPED_TRACE(method);
        host.call(itemInterface, method, {at.x(), at.y()});
        ASSERT_TRUE(processEventsUntil([&] { return tray.menu.isVisible(); }));
        EXPECT_LE((tray.menu.pos() - at).manhattanLength(), 4);
        tray.menu.hide();
    }

    // A click triggers its entry once, and only once the host has its answer.
    const QList<DBusMenuLayoutItem> shown = host.layout().second.children;
    ASSERT_EQ(shown.size(), 3);
    const std::tuple<const char*, int, const char*> events[] = {
        {"Event", 0, "clicked"}, {"EventGroup", 2, "clicked"}, {"Event", 1, "hovered"}, {"EventGroup", -1, "clicked"}};
    for (const auto& [method, entry, event] : events) {
        SCOPED_TRACE(testing::Message() << method << " " << entry << " " << event);
        const int id = entry < 0 ? 99 : shown.at(entry).id; // an unknown one when -1
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

    // Either tray shows the tool tip and icon after each change, and hosts hear of it.
    Tray xembedTray(QDBusConnection("no session bus"));
    ASSERT_TRUE(pollUntil([&] { return xembedTray.icon.xembedIcon(); }));
    const QSystemTrayIcon& xembed = *xembedTray.icon.xembedIcon();
    EXPECT_EQ(xembed.contextMenu(), &xembedTray.menu) << "a right click opens the menu";
    const QColor dark(0x12, 0x34, 0x56);
    struct Case {
        std::function<void(Tray&)> change;
        QStringList announced;
        QString toolTip;
        QColor color;
        bool workEndEnabled;
    };
    const Case changes[] = {
        {[](Tray&) {}, {}, "Stampo", Qt::blue, true},
        {[](Tray& t) { t.icon.setToolTip("勤務中"); }, {"NewTitle", "NewToolTip"}, "勤務中", Qt::blue, true},
        {[&](Tray& t) { t.icon.setIcon(filled(dark)); }, {"NewIcon"}, "勤務中", dark, true},
        {[](Tray& t) { t.menu.actions().at(1)->setEnabled(false); }, {"ItemsPropertiesUpdated"}, "勤務中", dark, false},
    };
    for (const Case& c : changes) {
        SCOPED_TRACE(&c - changes);
        host.heard.clear();
        c.change(tray);
        c.change(xembedTray);
        EXPECT_EQ(xembed.toolTip(), c.toolTip);
        EXPECT_EQ(xembed.icon().pixmap(16).toImage().pixel(0, 0), c.color.rgba());
        for (const QString& name : c.announced)
            EXPECT_TRUE(processEventsUntil([&] { return host.heard.contains(name); })) << name.toStdString();

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

        // What a host that applies what was announced ends up with: the menu as it is now.
        const QList<DBusMenuLayoutItem> entries = host.layout().second.children;
        ASSERT_EQ(entries.size(), 3);
        EXPECT_EQ(entries.at(1).properties.value("enabled").toBool(), c.workEndEnabled);
        for (const QDBusMessage& updated : host.heard.values("ItemsPropertiesUpdated")) {
            for (const DBusMenuItemProperties& item :
                 qdbus_cast<QList<DBusMenuItemProperties>>(updated.arguments().value(0)))
                EXPECT_EQ(std::pair(item.id, item.properties), std::pair(entries.at(1).id, entries.at(1).properties));
        }
    }

    // An entry added is announced with the menu's new revision; dbusmenu takes "_" for the mnemonic marker.
    const uint revision = host.layout().first;
    host.heard.clear();
    tray.menu.addAction("休憩_開始");
    ASSERT_TRUE(processEventsUntil([&] { return host.heard.contains("LayoutUpdated"); }));
    const auto [added, root] = host.layout();
    EXPECT_GT(added, revision);
    EXPECT_EQ(host.heard.value("LayoutUpdated").arguments().value(0).toUInt(), added);
    EXPECT_EQ(root.children.value(3).properties.value("label").toString(), "休憩__開始");
}

} // namespace

#include "test_tray_icon.moc"

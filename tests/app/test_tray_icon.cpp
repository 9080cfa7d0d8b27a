#include "DBusMenuExporter.h"
#include "StatusNotifierItem.h"
#include "TrayIcon.h"
#include "support/StatusNotifierWatcherMock.h"

#include <QAction>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QtEndian>

#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

using namespace stampo;
using namespace stampo::test;

namespace {

const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

QIcon filled(const QColor& color) {
    QPixmap pixmap(64, 64);
    pixmap.fill(color);
    return QIcon(pixmap);
}

std::unique_ptr<QMenu> applicationMenu() {
    auto menu = std::make_unique<QMenu>();
    for (const char* entry : {"勤務開始", "勤務終了", "Kintone設定"})
        menu->addAction(entry);
    return menu;
}

// A tray icon with the application's three entries.
struct Tray {
    explicit Tray(const QDBusConnection& sessionBus)
        : icon(sessionBus, menu.get()) {
        icon.setIcon(filled(Qt::blue));
        icon.setToolTip("Stampo");
    }
    const std::unique_ptr<QMenu> menu = applicationMenu();
    TrayIcon icon;
};

// A panel's host on a connection of its own: calls the item and its menu, and hears what they announce.
class Host final : public QObject {
    Q_OBJECT
public:
    Host(const PrivateBus& bus, QString service)
        : m_bus(QDBusConnection::connectToBus(bus.address(), m_name))
        , m_service(std::move(service)) {
        // QtDBus delivers a bus signal only to a slot named by its signature: it has no pointer-to-member form.
        for (const char* signal : {"NewTitle", "NewIcon", "NewToolTip"})
            m_bus.connect(m_service, itemPath, itemInterface, signal, this, SLOT(hear(QDBusMessage)));
        for (const char* signal : {"LayoutUpdated", "ItemsPropertiesUpdated"})
            m_bus.connect(m_service, {}, menuInterface, signal, this, SLOT(hear(QDBusMessage)));
    }
    ~Host() override { QDBusConnection::disconnectFromBus(m_name); }

    QDBusPendingCall send(const QString& path, const QString& interface, const QString& method,
                          const QVariantList& arguments) const {
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
        message.setArguments(arguments);
        return m_bus.asyncCall(message);
    }
    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments) const {
        QDBusMessage message = QDBusMessage::createMethodCall(m_service, path, interface, method);
        message.setArguments(arguments);
        return callServed(m_bus, message);
    }
    QVariant property(const QString& name) const {
        return call(itemPath, properties, "Get", {itemInterface, name})
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant();
    }
    // Where the item says its menu is, as a host finds it.
    QString menuPath() const { return property("Menu").value<QDBusObjectPath>().path(); }
    QDBusMessage callMenu(const QString& method, const QVariantList& arguments) const {
        return call(menuPath(), menuInterface, method, arguments);
    }
    // The whole menu and its revision.
    std::pair<uint, DBusMenuLayoutItem> layout() const {
        const QDBusMessage reply = callMenu("GetLayout", {0, -1, QStringList()});
        return {reply.arguments().value(0).toUInt(), qdbus_cast<DBusMenuLayoutItem>(reply.arguments().value(1))};
    }
    // The signals heard so far, by name.
    QList<QDBusMessage> heard(const QString& name) const {
        QList<QDBusMessage> named;
        for (const QDBusMessage& message : m_heard) {
            if (message.member() == name)
                named << message;
        }
        return named;
    }
    void forget() { m_heard.clear(); }

private slots:
    void hear(const QDBusMessage& message) { m_heard << message; }

private:
    const QString m_name = QStringLiteral("stampo-test-host");
    QDBusConnection m_bus;
    const QString m_service;
    QList<QDBusMessage> m_heard;
};

// Each entry's label and whether it is enabled, as a host shows them.
std::vector<std::pair<QString, bool>> entriesOf(const DBusMenuLayoutItem& root) {
    std::vector<std::pair<QString, bool>> entries;
    for (const DBusMenuLayoutItem& item : root.children)
        entries.emplace_back(item.properties.value("label").toString(), item.properties.value("enabled").toBool());
    return entries;
}

// Does `change` and waits until the tray has heard again which trays there are.
bool settle(Tray& tray, const std::function<void()>& change) {
    bool told = false;
    const QMetaObject::Connection connection = QObject::connect(
        tray.icon.statusNotifierItem(), &StatusNotifierItem::trayChanged, &tray.icon, [&] { told = true; });
    change();
    const bool settled = processEventsUntil([&] { return told; });
    QObject::disconnect(connection);
    return settled;
}

bool show(Tray& tray) {
    return settle(tray, [&] { tray.icon.show(); });
}

// A tray whose item a host shows, and that host.
class HostedTrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.connected()) << "no private D-Bus daemon";
        ASSERT_TRUE(watcher.running());
        ASSERT_TRUE(show(tray));
    }

    PrivateBus bus;
    StatusNotifierWatcherMock watcher{bus, true};
    Tray tray{bus.connection()};
    Host host{bus, bus.connection().baseService()};
};

TEST(TrayIconTest, RegistersWithEachWatcherAndPutsUpTheXEmbedIconOnlyWhileNoHostShowsTheItem) {
    enum class Step { WatcherWithHost, RefusingWatcherWithHost, HostRegisters, HostLeaves, WatcherQuits };
    struct Case {
        std::optional<bool> watcherAtStart; // whether its host is registered; none: no watcher
        std::vector<Step> then;
        int registrations; // with the watcher there at the end
        bool shown;
        std::optional<bool> xembedVisible; // none: never made
    };
    const Case cases[] = {
        {true, {}, 1, true, std::nullopt},
        {std::nullopt, {}, 0, false, true},
        {false, {}, 1, false, true},
        {std::nullopt, {Step::WatcherWithHost}, 1, true, false},
        {false, {Step::HostRegisters}, 1, true, false},
        {true, {Step::HostLeaves}, 1, false, true},
        {true, {Step::WatcherQuits}, 0, false, true},
        {true, {Step::WatcherQuits, Step::WatcherWithHost}, 1, true, false},
        {std::nullopt, {Step::RefusingWatcherWithHost}, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        PrivateBus bus;
        ASSERT_TRUE(bus.connected()) << "no private D-Bus daemon";
        std::optional<StatusNotifierWatcherMock> watcher;
        if (c.watcherAtStart) {
            watcher.emplace(bus, *c.watcherAtStart);
            ASSERT_TRUE(watcher->running());
        }
        Tray tray(bus.connection());
        ASSERT_TRUE(show(tray));
        for (const Step step : c.then) {
            ASSERT_TRUE(settle(tray, [&] {
                switch (step) {
                case Step::WatcherWithHost:
                case Step::RefusingWatcherWithHost:
                    watcher.emplace(bus, true, step == Step::RefusingWatcherWithHost);
                    EXPECT_TRUE(watcher->running());
                    break;
                case Step::HostRegisters:
                case Step::HostLeaves:
                    EXPECT_TRUE(watcher->setHost(step == Step::HostRegisters));
                    break;
                case Step::WatcherQuits:
                    watcher.reset();
                    break;
                }
            }));
        }
        EXPECT_EQ(watcher ? watcher->items().count(bus.connection().baseService()) : 0, c.registrations);
        EXPECT_EQ(tray.icon.statusNotifierItem()->isShown(), c.shown);
        const QSystemTrayIcon* const xembed = tray.icon.xembedIcon();
        EXPECT_EQ(xembed ? std::optional(xembed->isVisible()) : std::nullopt, c.xembedVisible);
    }
}

TEST_F(HostedTrayTest, EitherTrayShowsTheToolTipAndIconAfterEachChangeAndHostsHearOfIt) {
    Tray xembedTray(QDBusConnection("no session bus"));
    ASSERT_TRUE(show(xembedTray));
    const QSystemTrayIcon& xembed = *xembedTray.icon.xembedIcon();
    const std::vector<int> sizes{16, 22, 32, 64};
    struct Case {
        std::function<void(TrayIcon&)> change;
        QStringList announced;
        QString toolTip;
        QColor color;
    };
    const Case cases[] = {
        {[](TrayIcon&) {}, {}, "Stampo", Qt::blue},
        {[](TrayIcon& icon) { icon.setToolTip("勤務中"); }, {"NewTitle", "NewToolTip"}, "勤務中", Qt::blue},
        {[](TrayIcon& icon) { icon.setIcon(filled(QColor(0x12, 0x34, 0x56))); },
         {"NewIcon"},
         "勤務中",
         QColor(0x12, 0x34, 0x56)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        host.forget();
        c.change(tray.icon);
        c.change(xembedTray.icon);
        EXPECT_EQ(xembed.toolTip(), c.toolTip);
        EXPECT_EQ(xembed.icon().pixmap(16).toImage().pixel(0, 0), c.color.rgba());
        for (const QString& name : c.announced)
            EXPECT_TRUE(processEventsUntil([&] { return !host.heard(name).isEmpty(); })) << name.toStdString();

        EXPECT_EQ(host.property("Title").toString(), c.toolTip);
        EXPECT_EQ(qdbus_cast<StatusNotifierToolTip>(host.property("ToolTip")).title, c.toolTip);
        std::vector<int> widths;
        for (const StatusNotifierPixmap& pixmap :
             qdbus_cast<QList<StatusNotifierPixmap>>(host.property("IconPixmap"))) {
            widths.push_back(pixmap.width);
            ASSERT_EQ(pixmap.height, pixmap.width);
            ASSERT_EQ(pixmap.argb.size(), pixmap.width * pixmap.height * 4);
            // Alpha, red, green, blue in this order, whatever the machine's byte order.
            EXPECT_EQ(qFromBigEndian<quint32>(pixmap.argb.constData()), c.color.rgba());
        }
        EXPECT_EQ(widths, sizes);
    }
}

TEST_F(HostedTrayTest, TheMenuOverDBusListsTheEntriesAndAnnouncesEachChange) {
    EXPECT_TRUE(host.property("ItemIsMenu").toBool());
    struct Case {
        std::function<void(QMenu&)> change;
        const char* announced; // none when null
        std::vector<std::pair<QString, bool>> entries;
    };
    const Case cases[] = {
        {[](QMenu&) {}, nullptr, {{"勤務開始", true}, {"勤務終了", true}, {"Kintone設定", true}}},
        {[](QMenu& menu) { menu.actions().at(1)->setEnabled(false); },
         "ItemsPropertiesUpdated",
         {{"勤務開始", true}, {"勤務終了", false}, {"Kintone設定", true}}},
        {[](QMenu& menu) { menu.actions().at(1)->setEnabled(true); },
         "ItemsPropertiesUpdated",
         {{"勤務開始", true}, {"勤務終了", true}, {"Kintone設定", true}}},
        // dbusmenu takes "_" for the mnemonic marker.
        {[](QMenu& menu) { menu.addAction("休憩_開始"); },
         "LayoutUpdated",
         {{"勤務開始", true}, {"勤務終了", true}, {"Kintone設定", true}, {"休憩__開始", true}}},
        {[](QMenu& menu) { menu.removeAction(menu.actions().at(3)); },
         "LayoutUpdated",
         {{"勤務開始", true}, {"勤務終了", true}, {"Kintone設定", true}}},
    };
    int added = 0; // the entry added and removed again above
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        host.forget();
        c.change(*tray.menu);
        if (c.announced) {
            ASSERT_TRUE(processEventsUntil([&] { return !host.heard(c.announced).isEmpty(); }));
        }

        const auto [revision, root] = host.layout();
        EXPECT_EQ(root.properties.value("children-display").toString(), "submenu");
        EXPECT_EQ(entriesOf(root), c.entries);
        // What a host that applies the announcement, or asks for the items, ends up with.
        QList<int> ids;
        for (const DBusMenuLayoutItem& item : root.children)
            ids << item.id;
        const QDBusMessage group = host.callMenu("GetGroupProperties", {QVariant::fromValue(ids), QStringList()});
        const auto grouped = qdbus_cast<QList<DBusMenuItemProperties>>(group.arguments().value(0));
        ASSERT_EQ(grouped.size(), root.children.size());
        for (qsizetype i = 0; i < grouped.size(); ++i)
            EXPECT_EQ(grouped[i].properties, root.children[i].properties);
        for (const QDBusMessage& updated : host.heard("ItemsPropertiesUpdated")) {
            for (const DBusMenuItemProperties& item :
                 qdbus_cast<QList<DBusMenuItemProperties>>(updated.arguments().value(0)))
                EXPECT_EQ(item.properties, root.children.value(ids.indexOf(item.id)).properties);
        }
        for (const QDBusMessage& updated : host.heard("LayoutUpdated"))
            EXPECT_EQ(updated.arguments().value(0).toUInt(), revision);
        if (ids.size() > 3)
            added = ids.last();
    }

    // Parts of the menu, as hosts may ask for them.
    const int first = host.layout().second.children.value(0).id;
    const auto layoutOf = [&](const QVariantList& arguments) {
        return qdbus_cast<DBusMenuLayoutItem>(host.callMenu("GetLayout", arguments).arguments().value(1));
    };
    EXPECT_TRUE(layoutOf({0, 0, QStringList()}).children.isEmpty());
    const DBusMenuLayoutItem entry = layoutOf({first, -1, QStringList{"label"}});
    EXPECT_EQ(entry.id, first);
    EXPECT_EQ(entry.properties, QVariantMap({{"label", "勤務開始"}}));
    EXPECT_EQ(host.callMenu("GetProperty", {first, "label"}).arguments().value(0).value<QDBusVariant>().variant(),
              QVariant("勤務開始"));
    const QString unknown = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(host.callMenu("GetProperty", {first, "icon-name"}).errorName(), unknown);
    // An entry removed is gone for hosts too.
    for (const int id : {added, 99})
        EXPECT_EQ(host.callMenu("GetLayout", {id, -1, QStringList()}).errorName(), unknown) << id;
}

TEST_F(HostedTrayTest, AClickTriggersItsEntryOnlyOnceTheHostHasItsAnswer) {
    const DBusMenuLayoutItem root = host.layout().second;
    ASSERT_EQ(root.children.size(), 3);
    struct Case {
        const char* method;
        int entry; // unknown when -1
        const char* event;
        std::vector<int> triggered;
    };
    const Case cases[] = {
        {"Event", 0, "clicked", {0}}, {"Event", 2, "clicked", {2}},      {"EventGroup", 1, "clicked", {1}},
        {"Event", 1, "hovered", {}},  {"EventGroup", -1, "clicked", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const int id = c.entry < 0 ? 99 : root.children.at(c.entry).id;
        const QDBusVariant data(0);
        // The watcher's signal wakes the event loop when the answer comes.
        const QDBusPendingCallWatcher call(
            std::string_view(c.method) == "Event"
                ? host.send(host.menuPath(), menuInterface, c.method, {id, c.event, QVariant::fromValue(data), 0u})
                : host.send(host.menuPath(), menuInterface, c.method,
                            {QVariant::fromValue(QList<DBusMenuEvent>{{id, c.event, data, 0}})}));
        std::vector<int> triggered;
        std::vector<bool> answeredBefore;
        std::vector<QMetaObject::Connection> connections;
        for (int entry = 0; entry < 3; ++entry) {
            // An entry may bring up a modal alert: its event loop runs until the alert is dismissed.
            connections.push_back(
                QObject::connect(tray.menu->actions().at(entry), &QAction::triggered, tray.menu.get(), [&, entry] {
                    triggered.push_back(entry);
                    answeredBefore.push_back(processEventsUntil([&] { return call.isFinished(); }, 5s));
                }));
        }
        ASSERT_TRUE(processEventsUntil([&] { return call.isFinished(); }));
        ASSERT_TRUE(processEventsUntil([&] { return triggered.size() >= c.triggered.size(); }));
        EXPECT_EQ(triggered, c.triggered);
        EXPECT_EQ(answeredBefore, std::vector<bool>(c.triggered.size(), true));
        if (std::string_view(c.method) == "EventGroup") {
            EXPECT_EQ(QDBusReply<QList<int>>(call.reply()).value(), c.entry < 0 ? QList<int>{id} : QList<int>());
        }
        for (const QMetaObject::Connection& connection : connections)
            QObject::disconnect(connection);
    }
}

TEST_F(HostedTrayTest, AHostThatDrawsNoMenuHasOursOpenWhereItSays) {
    const std::pair<const char*, QPoint> cases[] = {{"Activate", {100, 120}}, {"ContextMenu", {300, 200}}};
    for (const auto& [method, at] : cases) {
        SCOPED_TRACE(method);
        host.call(itemPath, itemInterface, method, {at.x(), at.y()});
        ASSERT_TRUE(processEventsUntil([&] { return tray.menu->isVisible(); }));
        EXPECT_LE((tray.menu->pos() - at).manhattanLength(), 4);
        tray.menu->hide();
    }
}

} // namespace

#include "test_tray_icon.moc"

// The desktop's own proxy settings (GNOME's, through libproxy) in a process of their own: libproxy picks the desktop's
// configuration once, when it first starts.
#include "net/DesktopProxy.h"
#include "support/AttendanceRig.h"
#include "support/KintoneTest.h"
#include "support/LoopbackProxy.h"

#include <QTemporaryDir>

#include <fstream>

using namespace stampo;
using namespace stampo::test;

namespace {

using DesktopProxyTest = KintoneTest;

// GNOME's manual proxy for https, as its settings panel stores it, in a GSettings file of the test's own.
// Written whole and renamed into place, as GSettings itself does, so that no half-written file is ever read.
void setGnomeProxy(const QTemporaryDir& home, const std::string& port) {
    const std::filesystem::path folder = home.filePath("glib-2.0/settings").toStdString();
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "keyfile.new")
        << "[system/proxy]\nmode='manual'\n\n[system/proxy/https]\nhost='127.0.0.1'\nport=" << port << "\n";
    std::filesystem::rename(folder / "keyfile.new", folder / "keyfile");
}

// A work start where no public name resolves goes through the proxy GNOME's settings name; Stampo's own, when set, is
// the only one.
TEST_F(DesktopProxyTest, GnomesProxyCarriesTheRequestWhenStampoHasNone) {
    LoopbackProxy open(LoopbackProxy::Kind::Tinyproxy);
    LoopbackProxy guarded(LoopbackProxy::Kind::SquidDigest, "alice", "s3cret");
    ASSERT_TRUE(open.running() && guarded.running()) << "tinyproxy or squid cannot be started (are they installed?)";
    const QTemporaryDir home, settings;
    setGnomeProxy(home, open.port());
    setenv("XDG_CONFIG_HOME", home.path().toUtf8().constData(), 1);
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    setenv("DESKTOP_SESSION", "gnome", 1);
    const std::string url = Kintone::serviceBase(subDomain, "com");
    if (DesktopProxy::forUrl(url).empty())
        GTEST_SKIP() << "libproxy with its GSettings plugin is not installed";

    const auto store = std::make_shared<QSettingsStore>(settings.filePath("Stampo.conf"));
    configure(*store, authCode);
    const auto day = std::make_shared<Attendance>(
        store, client, std::make_shared<HostReachability>("unresolvable.invalid"), mainQueue, alert);
    const auto start = [&] {
        const std::size_t alerts = alert->messages().size();
        day->didStampoAttend(Attendance::UserInfo{{"keepUser", "sato"}});
        EXPECT_TRUE(alert->waitForCount(alerts + 1) && workers.waitIdle(deadline) && mainQueue->drain());
        return alert->messages().back();
    };
    EXPECT_EQ(start(), "送信完了");
    EXPECT_EQ(sim.requests("POST", recordPath).size(), 1u);

    // Now a proxy that asks for a sign-in the desktop's settings do not give: the request really goes there.
    setGnomeProxy(home, guarded.port());
    const auto changed = std::chrono::steady_clock::now() + deadline;
    while (DesktopProxy::forUrl(url).find(guarded.port()) == std::string::npos &&
           std::chrono::steady_clock::now() < changed)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(start(), "プロキシサーバーの認証に失敗しました (56)");
    EXPECT_EQ(sim.requests("POST", recordPath).size(), 1u);

    // Stampo's own proxy is the only one used.
    store->setObjectForKey("127.0.0.1", "proxyHost");
    store->setObjectForKey(open.port(), "proxyPort");
    EXPECT_EQ(start(), "送信完了");
    EXPECT_EQ(sim.requests("POST", recordPath).size(), 2u);

    // The development hook sends every connection to a test server, which no proxy of the desktop's could reach.
    setenv("STAMPO_CONNECT_TO", sim.connectTo().c_str(), 1);
    EXPECT_EQ(DesktopProxy::forUrl(url), "");
    EXPECT_EQ(DesktopProxy::hostFor(url), "");
    unsetenv("STAMPO_CONNECT_TO");
}

} // namespace

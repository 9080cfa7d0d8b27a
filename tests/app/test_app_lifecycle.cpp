#include "PlatformPreference.h"
#include "SingleInstance.h"
#include "UnixSignals.h"
#include "support/WidgetTesting.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

using namespace stampo;
using namespace stampo::test;

TEST(SingleInstance, LaterLaunchesKnockOnTheRunningOneEvenAfterOneDiedAndGiveUpWhenItCannotBeReached) {
    QTemporaryDir dir;
    // A killed instance leaves its lock file and socket file behind.
    QProcess holder;
    holder.start(STAMPO_INSTANCE_HOLDER, {dir.path()});
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    ASSERT_EQ(holder.readLine().trimmed(), "primary");
    holder.kill();
    ASSERT_TRUE(holder.waitForFinished(30000));

    SingleInstance running(dir.path(), "Stampo.conf");
    ASSERT_TRUE(running.becomePrimary());
    int knocks = 0;
    QObject::connect(&running, &SingleInstance::knocked, [&] { ++knocks; });
    for (int launch = 1; launch <= 2; ++launch) {
        SingleInstance later(dir.path(), "Stampo.conf");
        EXPECT_FALSE(later.becomePrimary());
        EXPECT_TRUE(later.knock(deadline));
        EXPECT_TRUE(processEventsUntil([&] { return knocks == launch; }));
    }

    const QStringList sockets = QDir(dir.path()).entryList({"*.socket"}, QDir::System);
    ASSERT_EQ(sockets.size(), 1);
    // Only the user may knock.
    EXPECT_EQ(QFile::permissions(dir.filePath(sockets.first())) & 0x0077, 0);
    ASSERT_TRUE(QFile::remove(dir.filePath(sockets.first())));
    SingleInstance unheard(dir.path(), "Stampo.conf");
    EXPECT_FALSE(unheard.becomePrimary());
    EXPECT_FALSE(unheard.knock(200ms));
    EXPECT_TRUE(SingleInstance(dir.path(), "Other.conf").becomePrimary()) << "another settings file, another instance";
}

TEST(PlatformPreference, X11ThenWaylandUnlessTheUserChoseAPlatform) {
    const QByteArray before = qgetenv("QT_QPA_PLATFORM");
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "xcb;wayland"}, {"", "xcb;wayland"}, {"wayland", "wayland"}};
    for (const auto& [chosen, expected] : cases) {
        if (chosen)
            qputenv("QT_QPA_PLATFORM", QByteArray(chosen));
        else
            qunsetenv("QT_QPA_PLATFORM");
        preferX11Platform();
        EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), expected) << (chosen ? chosen : "unset");
    }
    qputenv("QT_QPA_PLATFORM", before);
}

TEST(UnixSignals, EachSignalReachesTheEventLoop) {
    UnixSignals unixSignals({SIGTERM, SIGINT, SIGHUP});
    std::vector<int> received;
    QObject::connect(&unixSignals, &UnixSignals::received, [&](int number) { received.push_back(number); });

    const std::vector<int> raised = {SIGTERM, SIGINT, SIGHUP, SIGTERM};
    for (const int number : raised)
        std::raise(number);
    EXPECT_TRUE(processEventsUntil([&] { return received.size() == raised.size(); }));
    EXPECT_EQ(received, raised);
}

#include "PlatformPreference.h"
#include "SingleInstance.h"
#include "UnixSignals.h"
#include "support/WidgetTesting.h"

#include <QDir>
#include <QFile>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

using namespace stampo;
using namespace stampo::test;

TEST(SingleInstance, LaterLaunchesKnockOnTheRunningOneEvenAfterOneDiedAndGiveUpWhenItCannotBeReached) {
    QTemporaryDir dir;
    // A killed instance leaves its lock file and socket file behind: a child process that becomes the running one and
    // ends before its instance is destroyed.
    const pid_t holder = ::fork();
    if (holder == 0)
        ::_exit(SingleInstance(dir.path(), "Stampo.conf").becomePrimary() ? 0 : 1);
    int status = -1;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ASSERT_EQ(status, 0) << "the child was not the running instance";

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
    // Unset, as tests/e2e starts stampo on weston, is not chosen either. Each test runs in a process of its own: the
    // variable is left as the last case sets it.
    const std::pair<const char*, const char*> cases[] = {{"", "xcb;wayland"}, {"wayland", "wayland"}};
    for (const auto& [chosen, expected] : cases) {
        qputenv("QT_QPA_PLATFORM", QByteArray(chosen));
        preferX11Platform();
        EXPECT_EQ(qgetenv("QT_QPA_PLATFORM"), expected) << chosen;
    }
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

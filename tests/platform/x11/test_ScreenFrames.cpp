#include "XvfbSession.h"

#include "platform/x11/ScreenFrames.h"

#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

using namespace tarni;

// QScreen on the real xcb platform of a private X server, with a dock of
// another program reserving the left edge.
namespace {

// libxkbcommon-x11, which Qt's xcb platform loads, hands strndup a buffer
// without a terminating NUL, and AddressSanitizer's strict string checks
// stop the test inside that system library. Under those checks the test
// runs again in a child process with them off.
bool runWithoutStrictStringChecks(int *exitCode)
{
    const QByteArray options = qgetenv("ASAN_OPTIONS");
    if (!options.contains("strict_string_checks=1"))
        return false;
    QByteArray relaxed = options;
    relaxed.replace("strict_string_checks=1", "strict_string_checks=0");
    const QString filter = QStringLiteral("--gtest_filter=%1.%2")
                               .arg(QLatin1String(testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()),
                                    QLatin1String(testing::UnitTest::GetInstance()->current_test_info()->name()));
    const pid_t child = test::spawnProcess(QStringLiteral("/proc/self/exe"), {filter},
                                           {QStringLiteral("ASAN_OPTIONS=") + QString::fromLatin1(relaxed)});
    int status = 0;
    *exitCode = child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

} // namespace

TEST(ScreenFrames, DescribesQtScreensInTheSameCoordinatesAsTheWindowManager)
{
    if (int exitCode = 0; runWithoutStrictStringChecks(&exitCode)) {
        EXPECT_EQ(exitCode, 0) << "the test failed in its child process (output above)";
        return;
    }
    QString error;
    auto session = test::XvfbSession::start(&error);
    if (!session)
        GTEST_FAIL() << "cannot start the X server for this test: " << error.toStdString();
    const pid_t dock = test::spawnProcess(
        QStringLiteral(TARNI_TEST_WINDOW),
        {QStringLiteral("--title"), QStringLiteral("dock"), QStringLiteral("--geometry"), QStringLiteral("200x1080+0+0"),
         QStringLiteral("--dock-left"), QStringLiteral("200")},
        {QStringLiteral("DISPLAY=") + session->display()});
    ASSERT_GT(dock, 0);

    qputenv("DISPLAY", session->display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int argc = 1;
    char name[] = "test_ScreenFrames";
    char *argv[] = {name, nullptr};
    {
        QGuiApplication app(argc, argv);
        QScreen *screen = QGuiApplication::primaryScreen();
        ASSERT_TRUE(screen);
        EXPECT_FALSE(screenIdentifier(*screen).isEmpty());
        EXPECT_EQ(screen->geometry(), QRect(0, 0, 1920, 1080));

        ScreenFrames frames(session->display().toLocal8Bit());
        ScreenDescription described;
        for (int i = 0; i < 300 && described.visibleFrame != QRectF(200, 0, 1720, 1080); ++i) {
            described = frames.describe(*screen, 0);
            QThread::msleep(10);
        }
        EXPECT_EQ(described.identifier, screenIdentifier(*screen));
        EXPECT_EQ(described.visibleFrame, QRectF(200, 0, 1720, 1080));
    }
    test::stopProcess(dock);
}

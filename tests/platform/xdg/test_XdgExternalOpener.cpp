#include "TestDesktop.h"

#include "platform/xdg/XdgExternalOpener.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <QCoro/QCoroTask>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

// The address of the session bus that main() started for this process.
QString g_busAddress;

// A file manager of our own on the private bus: records what it is asked to show.
class RecordingFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &) { shown.append(uris); }
};

bool spinUntil(const std::function<bool()> &done, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

bool runReveal(XdgExternalOpener &opener, const QUrl &url)
{
    bool result = false;
    auto wrapper = [](QCoro::Task<bool> task, bool &out) -> QCoro::Task<> { out = co_await task; };
    auto task = opener.reveal(url);
    QCoro::waitFor(wrapper(std::move(task), result));
    return result;
}

class XdgExternalOpenerTest : public testing::Test {
protected:
    // The viewer writes each argument it gets on a line of its own.
    XdgExternalOpenerTest() : m_desktop("printf '%s\\n' \"$@\" >> \"" + record().toUtf8() + "\"\n")
    {
        // xdg-open picks the desktop entry only when it sees a display; the
        // viewer never uses it.
        m_desktop.setDisplay(QStringLiteral(":65000"));
    }

    QString record() const { return QDir::temp().filePath(QStringLiteral("tarni-opener-%1.record").arg(m_id)); }
    QStringList recorded() const
    {
        QFile f(record());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    void TearDown() override { QFile::remove(record()); }

    XdgExternalOpener opener(QProcessEnvironment env = {}) const
    {
        XdgExternalOpener::Options options;
        options.environment = env.isEmpty() ? m_desktop.environment() : env;
        return XdgExternalOpener(options);
    }

    const QString m_id = QString::number(QCoreApplication::applicationPid()) + u'-'
        + QString::fromLatin1(testing::UnitTest::GetInstance()->current_test_info()->name());
    test::TestDesktop m_desktop;
};

TEST_F(XdgExternalOpenerTest, HandsFilesAndAddressesToTheDefaultApplicationIntact)
{
    ASSERT_TRUE(m_desktop.isValid());
    // A name that a shell would split, and that reads as an option.
    const QString file = m_desktop.path(QStringLiteral("-rf my 'notes' $HOME.txt"));
    ASSERT_TRUE(test::TestDesktop::write(file, "hello\n"));
    XdgExternalOpener xdg = opener();

    ASSERT_TRUE(xdg.open(QUrl::fromLocalFile(file)));
    ASSERT_TRUE(spinUntil([&] { return recorded().size() == 1; })) << "the viewer never ran";
    EXPECT_EQ(recorded(), QStringList{file});

    const QString address = QStringLiteral("https://example.com/a?b=c&d=e f");
    ASSERT_TRUE(xdg.open(QUrl(address)));
    ASSERT_TRUE(spinUntil([&] { return recorded().size() == 2; }));
    EXPECT_EQ(recorded().at(1), QUrl(address).toString(QUrl::FullyEncoded));
}

TEST_F(XdgExternalOpenerTest, RefusesAnAddressThatReadsAsAnOptionAndFailsWithoutALauncher)
{
    XdgExternalOpener xdg = opener();
    EXPECT_FALSE(xdg.open(QUrl(QStringLiteral("--manual"))));
    EXPECT_FALSE(xdg.open(QUrl()));

    QProcessEnvironment noLauncher = m_desktop.environment();
    noLauncher.insert(QStringLiteral("PATH"), m_desktop.path(QStringLiteral("etc")));
    EXPECT_FALSE(opener(noLauncher).open(QUrl(QStringLiteral("https://example.com/"))));
    QThread::msleep(300);
    EXPECT_TRUE(recorded().isEmpty());
}

TEST_F(XdgExternalOpenerTest, RevealAsksTheFileManagerAndOpensTheFolderWhenThereIsNone)
{
    const QString file = m_desktop.path(QStringLiteral("reports/q 1.txt"));
    ASSERT_TRUE(test::TestDesktop::write(file, "x"));
    XdgExternalOpener xdg = opener();

    {
        QDBusConnection service = QDBusConnection::connectToBus(g_busAddress, QStringLiteral("file-manager"));
        ASSERT_TRUE(service.isConnected());
        RecordingFileManager fileManager;
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));

        EXPECT_TRUE(runReveal(xdg, QUrl::fromLocalFile(file)));
        EXPECT_EQ(fileManager.shown, QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
        service.unregisterService(QStringLiteral("org.freedesktop.FileManager1"));
        QDBusConnection::disconnectFromBus(QStringLiteral("file-manager"));
    }
    QThread::msleep(200);
    EXPECT_TRUE(recorded().isEmpty()) << "the folder was opened although the file manager answered";

    EXPECT_TRUE(runReveal(xdg, QUrl::fromLocalFile(file)));
    ASSERT_TRUE(spinUntil([&] { return !recorded().isEmpty(); }));
    EXPECT_EQ(recorded(), QStringList{m_desktop.path(QStringLiteral("reports"))});

    QProcessEnvironment noLauncher = m_desktop.environment();
    noLauncher.insert(QStringLiteral("PATH"), m_desktop.path(QStringLiteral("etc")));
    XdgExternalOpener nothing = opener(noLauncher);
    EXPECT_FALSE(runReveal(nothing, QUrl::fromLocalFile(file)));
    EXPECT_FALSE(runReveal(xdg, QUrl(QStringLiteral("https://example.com/"))));
}

} // namespace

// A private session bus for the whole run, so that no test reaches the
// desktop's own file manager.
int main(int argc, char **argv)
{
    // Its own configuration: no service files, so nothing installed on the
    // machine can be started on demand in place of the test's file manager.
    QTemporaryDir busDir;
    const QString config = busDir.filePath(QStringLiteral("bus.conf"));
    tarni::test::TestDesktop::write(
        config, "<busconfig><type>session</type><listen>unix:path=" + busDir.filePath(QStringLiteral("bus")).toUtf8()
                    + "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                      "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                 QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000)) {
        fprintf(stderr, "cannot start dbus-daemon: %s\n", qPrintable(daemon.errorString()));
        return 1;
    }
    g_busAddress = QString::fromUtf8(daemon.readLine().trimmed());
    qputenv("DBUS_SESSION_BUS_ADDRESS", g_busAddress.toUtf8());

    int status = 0;
    {
        QCoreApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    daemon.terminate();
    daemon.waitForFinished(3000);
    return status;
}

#include "test_XdgExternalOpener.moc"

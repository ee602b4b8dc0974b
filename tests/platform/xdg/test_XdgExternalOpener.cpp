// The opener against real xdg-open, with a desktop entry and mimeapps.list of
// the test's own, and reveal against a private session bus.

#include "OpeningTestSupport.h"

#include "platform/xdg/XdgExternalOpener.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;

namespace {

QString g_busAddress;

// A file manager of our own: records what it is asked to show.
class RecordingFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public Q_SLOTS:
    void ShowItems(const QStringList &uris, const QString &) { shown.append(uris); }
};

class XdgExternalOpenerTest : public testing::Test {
protected:
    void SetUp() override
    {
        // The default application for text, folders and https writes each
        // argument it gets on a line of its own.
        const QString viewer = path("bin/viewer");
        ASSERT_TRUE(writeFile(viewer, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" + path("record").toUtf8() + "\"\n"));
        QFile(viewer).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        ASSERT_TRUE(writeFile(path("data/applications/viewer.desktop"),
                              "[Desktop Entry]\nType=Application\nName=V\nExec=" + viewer.toUtf8() + " %f\n"));
        ASSERT_TRUE(writeFile(path("config/mimeapps.list"),
                              "[Default Applications]\ntext/plain=viewer.desktop\ninode/directory=viewer.desktop\n"
                              "x-scheme-handler/https=viewer.desktop\n"));
        m_env = privateDesktop(m_dir.path(), QStringLiteral("/usr/share"), QProcessEnvironment::systemEnvironment());
        // xdg-open consults desktop entries only when it sees a display.
        m_env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":65000"));
    }

    QString path(const char *relative) const { return m_dir.filePath(QString::fromUtf8(relative)); }
    QStringList recorded() const
    {
        QFile f(path("record"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts)
                                           : QStringList();
    }
    bool waitForRecords(int count) const { return spinUntil([&] { return recorded().size() >= count; }); }
    XdgExternalOpener opener(bool withLauncher = true) const
    {
        QProcessEnvironment env = m_env;
        if (!withLauncher)
            env.insert(QStringLiteral("PATH"), path("etc"));
        return XdgExternalOpener({env, QStringLiteral("xdg-open"), 3000});
    }

    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
};

TEST_F(XdgExternalOpenerTest, HandsFilesAndAddressesToTheDefaultApplicationIntact)
{
    // A name that a shell would split, and that reads as an option.
    const QString file = path("-rf my 'notes' $HOME.txt");
    ASSERT_TRUE(writeFile(file, "hello\n"));
    XdgExternalOpener xdg = opener();
    ASSERT_TRUE(xdg.open(*EntryRules::fileAddress(file)));
    ASSERT_TRUE(waitForRecords(1)) << "the viewer never ran";
    const auto address = EntryRules::webAddress(QStringLiteral("https://example.com/a?b=c&d=e f"));
    ASSERT_TRUE(xdg.open(*address));
    ASSERT_TRUE(waitForRecords(2));
    EXPECT_EQ(recorded(), (QStringList{file, QStringLiteral("https://example.com/a?b=c&d=e%20f")}));
}

TEST_F(XdgExternalOpenerTest, FailsWithoutALauncher)
{
    EXPECT_FALSE(opener(false).open(*EntryRules::webAddress(QStringLiteral("https://example.com/"))));
    QThread::msleep(300);
    EXPECT_TRUE(recorded().isEmpty());
}

TEST_F(XdgExternalOpenerTest, RevealAsksTheFileManagerAndOpensTheFolderWhenThereIsNone)
{
    const QString file = path("reports/q 1.txt");
    ASSERT_TRUE(writeFile(file, "x"));
    XdgExternalOpener xdg = opener();
    {
        QDBusConnection service = QDBusConnection::connectToBus(g_busAddress, QStringLiteral("file-manager"));
        RecordingFileManager fileManager;
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/FileManager1"), &fileManager,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.FileManager1")));
        EXPECT_TRUE(runTask(xdg.reveal(QUrl::fromLocalFile(file))));
        EXPECT_EQ(fileManager.shown, QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
        QDBusConnection::disconnectFromBus(QStringLiteral("file-manager"));
    }
    QThread::msleep(200);
    EXPECT_TRUE(recorded().isEmpty()) << "the folder was opened although the file manager answered";

    EXPECT_TRUE(runTask(xdg.reveal(QUrl::fromLocalFile(file))));
    ASSERT_TRUE(waitForRecords(1));
    EXPECT_EQ(recorded(), QStringList{path("reports")});
    EXPECT_FALSE(runTask(opener(false).reveal(QUrl::fromLocalFile(file))));
}

} // namespace

// One private session bus for the run, with no service files: nothing
// installed on the machine can stand in for the test's file manager.
int main(int argc, char **argv)
{
    QTemporaryDir busDir;
    const QString config = busDir.filePath(QStringLiteral("bus.conf"));
    writeFile(config, "<busconfig><type>session</type><listen>unix:path=" + busDir.filePath(QStringLiteral("bus")).toUtf8()
                          + "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                            "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
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

// Two running applications, each on its own data root, on one X server and
// one session bus, sharing one tree through two real Syncthings in a network
// of their own. Sync is turned on over the bus; the edits are made over the
// bus too, on both at once; the applications send and receive by themselves
// until their trees are the same.

#include "ApplicationBusCall.h"
#include "PrivateDesktop.h"
#include "PrivateNetworkMain.h"
#include "SessionBus.h"
#include "SyncCli.h"
#include "SyncthingPair.h"
#include "XvfbSession.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>

using namespace tarni;
using namespace tarni::test;
using namespace tarni::testing;

namespace {

struct Application {
    QString dir;
    QString root() const { return QDir(dir).filePath(QStringLiteral("root")); }
    pid_t pid = -1;
};

class SyncTwoApplications : public ::testing::Test {
protected:
    QDBusMessage call(const Application &app, const char *method, const QVariantList &arguments = {})
    {
        return m_client->call(applicationMethodCall(app.root().toStdString(), method, arguments), QDBus::Block, 30000);
    }

    QString answer(const Application &app, const char *method, const QVariantList &arguments = {})
    {
        const QDBusMessage reply = call(app, method, arguments);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method << ": " << reply.errorMessage().toStdString();
        return reply.arguments().value(0).toString();
    }

    QString add(const Application &app, const QString &title, const QString &parent = {})
    {
        return answer(app, "AddNode", {QStringLiteral("group"), title, parent, QVariantMap()});
    }

    bool start(Application &app)
    {
        app.pid = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {},
                               privateDesktopEnvironment(app.dir, m_session->display(), m_bus.address()));
        if (app.pid <= 0)
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 20000) {
            if (call(app, "DataRoot").type() == QDBusMessage::ReplyMessage)
                return true;
            QThread::msleep(100);
        }
        return false;
    }

    void TearDown() override
    {
        for (const Application *app : {&m_laptop, &m_desktop})
            if (app->pid > 0)
                stopProcess(app->pid);
        m_client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("sync-e2e"));
        m_session.reset();
    }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    std::unique_ptr<XvfbSession> m_session;
    std::unique_ptr<QDBusConnection> m_client;
    Application m_laptop, m_desktop;
};

TEST_F(SyncTwoApplications, ConcurrentEditsOnBothConvergeWithoutAnyoneAskingToSync)
{
    ASSERT_TRUE(m_dir.isValid());
    ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
    QString error;
    const auto pair = SyncthingPair::start(m_dir.filePath(QStringLiteral("syncthing")), &error);
    ASSERT_TRUE(pair) << error.toStdString();
    m_session = XvfbSession::start({1280, 800, true}, &error);
    ASSERT_TRUE(m_session) << error.toStdString();
    m_client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("sync-e2e")));
    ASSERT_TRUE(m_client->isConnected());

    m_laptop.dir = m_dir.filePath(QStringLiteral("laptop"));
    m_desktop.dir = m_dir.filePath(QStringLiteral("desktop"));
    ASSERT_TRUE(start(m_laptop));
    ASSERT_TRUE(start(m_desktop));

    const QString research = add(m_laptop, QStringLiteral("Research"));
    const QString work = add(m_laptop, QStringLiteral("Work"));
    const QString archive = add(m_laptop, QStringLiteral("Archive"));
    answer(m_laptop, "SyncEnable", {pair->folderA(), QStringLiteral("Laptop")});
    // The laptop's tree reaches the desktop's folder; the desktop joins.
    QElapsedTimer clock;
    clock.start();
    const auto arrived = [&] {
        return QDir(pair->folderB() + QStringLiteral("/changes")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() == 1;
    };
    while (!arrived() && clock.elapsed() < 30000)
        QThread::msleep(200);
    ASSERT_TRUE(arrived()) << pair->logs().toStdString();
    QThread::msleep(1500); // the file itself, after its folder
    answer(m_desktop, "SyncEnable", {pair->folderB(), QStringLiteral("Desktop")});
    ASSERT_EQ(sharedTree(m_desktop.root()), sharedTree(m_laptop.root()));

    // Both edit at once.
    call(m_laptop, "Rename", {research, QStringLiteral("Research (laptop)")});
    call(m_desktop, "Rename", {research, QStringLiteral("Research (desktop)")});
    const QString addedA = add(m_laptop, QStringLiteral("Inbox-laptop"));
    const QString addedB = add(m_desktop, QStringLiteral("Inbox-desktop"), work);
    call(m_laptop, "Delete", {archive});
    call(m_desktop, "Move", {work, research, 0});
    clock.restart();

    QByteArray laptopTree, desktopTree;
    while (clock.elapsed() < 30000) {
        laptopTree = sharedTree(m_laptop.root());
        desktopTree = sharedTree(m_desktop.root());
        if (laptopTree == desktopTree && laptopTree.contains(addedA.toUtf8()) && laptopTree.contains(addedB.toUtf8()) &&
            !laptopTree.contains(archive.toUtf8()))
            break;
        QThread::msleep(250);
    }
    const qint64 convergedMs = clock.elapsed();
    ASSERT_EQ(laptopTree, desktopTree) << "not the same after " << convergedMs << " ms\n"
                                       << answer(m_laptop, "SyncStatus").toStdString() << "\n"
                                       << answer(m_desktop, "SyncStatus").toStdString() << "\n"
                                       << pair->logs().toStdString();
    EXPECT_TRUE(laptopTree.contains(addedA.toUtf8()));
    EXPECT_TRUE(laptopTree.contains(addedB.toUtf8()));
    EXPECT_FALSE(laptopTree.contains(archive.toUtf8()));
    EXPECT_TRUE(laptopTree.contains("Research (laptop)") != laptopTree.contains("Research (desktop)"));
    // The losing rename is kept on both.
    for (const Application *app : {&m_laptop, &m_desktop})
        EXPECT_TRUE(answer(*app, "SyncConflicts").contains(research)) << app->dir.toStdString();
    std::printf("two applications converged %lld ms after the last edit\n", convergedMs);
}

} // namespace

int main(int argc, char **argv)
{
    return runInPrivateNetwork(argc, argv);
}

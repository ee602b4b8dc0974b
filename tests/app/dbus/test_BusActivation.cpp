// The session bus starts the application for a call when none runs: the real
// tarnibar leaves its service file for the user at its first start, and a
// later call to "com.tarni.bar" starts it again, in the background.

#include "app/ApplicationBusNames.h"

#include "SessionBus.h"
#include "TaskSupport.h"
#include "XvfbSession.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace tarni;

namespace {

QDBusMessage callApplication(QDBusConnection &client, const char *method)
{
    return client.call(QDBusMessage::createMethodCall(QString::fromLatin1(bus::kServiceName),
                                                      QString::fromLatin1(bus::kObjectPath),
                                                      QString::fromLatin1(bus::kInterface), QString::fromLatin1(method)),
                       QDBus::Block, 30000);
}

} // namespace

TEST(BusActivation, ACallStartsTheApplicationThatIsNotRunning)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString data = dir.filePath(QStringLiteral("data"));
    // The daemon's environment is what the programs it starts get.
    const QStringList environment{
        QStringLiteral("XDG_DATA_HOME=") + data,
        QStringLiteral("XDG_CONFIG_HOME=") + dir.filePath(QStringLiteral("config")),
        QStringLiteral("HOME=") + dir.path(),
        QStringLiteral("QT_QPA_PLATFORM=offscreen"),
        // Not an automation run: that one writes no service file.
        QStringLiteral("TARNI_UITEST_MODE=0"),
        QStringLiteral("TARNI_UITEST_ROOT="),
    };
    test::SessionBus bus({{data + QStringLiteral("/dbus-1/services")}, environment});
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    QDBusConnection client = QDBusConnection::connectToBus(bus.address(), QStringLiteral("client"));
    ASSERT_TRUE(client.isConnected());
    const QString name = QString::fromLatin1(bus::kServiceName);
    EXPECT_EQ(callApplication(client, "DataRoot").errorName(), QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"))
        << "nothing to start before the first run";

    const pid_t first = test::spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {},
                                           environment + QStringList{QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + bus.address()});
    ASSERT_GT(first, 0);
    ASSERT_TRUE(test::spinUntil([&] { return client.interface()->isServiceRegistered(name).value(); }, 30000));
    EXPECT_TRUE(QFile::exists(data + QStringLiteral("/dbus-1/services/com.tarni.bar.service")));
    EXPECT_EQ(callApplication(client, "Quit").type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(test::spinUntil([&] { return !client.interface()->isServiceRegistered(name).value(); }, 10000));
    test::stopProcess(first);

    const QDBusMessage reply = callApplication(client, "DataRoot");
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(reply.arguments().value(0).toString(), bus::canonicalDataRoot((data + QStringLiteral("/TarniBar")).toStdString()));

    // The bus started it, not we: it goes by its Quit, or by force.
    const uint started = client.interface()->servicePid(name).value();
    callApplication(client, "Quit");
    if (!test::spinUntil([&] { return !client.interface()->isServiceRegistered(name).value(); }, 10000) && started > 0)
        ::kill(pid_t(started), SIGKILL);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

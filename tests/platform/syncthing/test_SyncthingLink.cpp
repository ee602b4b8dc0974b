// The link to the user's Syncthing: which config it reads and what it
// refuses there, then a real Syncthing started by the test, and servers
// that answer what Syncthing would not.

#include "LocalHttpServer.h"
#include "PrivateNetworkMain.h"
#include "SyncthingInstance.h"
#include "TaskSupport.h"

#include "platform/syncthing/SyncthingLink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;
using Kind = SyncthingError::Kind;

namespace {

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(data);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray config(const QByteArray &address, const QByteArray &attributes = "tls=\"false\"",
                  const QByteArray &key = "k3y-Of_Syncthing")
{
    return "<configuration version=\"36\">\n  <device id=\"X\"></device>\n  <gui enabled=\"true\" " + attributes +
           ">\n    <address>" + address + "</address>\n    <apikey>" + key + "</apikey>\n  </gui>\n</configuration>\n";
}

SyncthingLink::Options linkOptions(const QString &home, std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    SyncthingLink::Options options;
    options.home = home;
    options.timeout = timeout;
    return options;
}

TEST(SyncthingConfig, FindsTheConfigWhereSyncthingKeepsIt)
{
    QTemporaryDir home;
    QProcessEnvironment env;
    env.insert(QStringLiteral("HOME"), home.path());
    EXPECT_EQ(findSyncthingConfig(env), QString());
    const QString legacy = home.filePath(QStringLiteral(".config/syncthing/config.xml"));
    writeFile(legacy, config("127.0.0.1:8384"));
    EXPECT_EQ(findSyncthingConfig(env), legacy);
    const QString state = home.filePath(QStringLiteral(".local/state/syncthing/config.xml"));
    writeFile(state, config("127.0.0.1:8384"));
    EXPECT_EQ(findSyncthingConfig(env), state);
    const QString xdgState = home.filePath(QStringLiteral("xdg-state/syncthing/config.xml"));
    writeFile(xdgState, config("127.0.0.1:8384"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral("xdg-state")));
    EXPECT_EQ(findSyncthingConfig(env), xdgState);
    // An explicit home is the only place looked at.
    EXPECT_EQ(findSyncthingConfig(env, home.filePath(QStringLiteral(".config/syncthing"))), legacy);
    EXPECT_EQ(findSyncthingConfig(env, home.filePath(QStringLiteral("elsewhere"))), QString());
}

TEST(SyncthingConfig, AcceptsOnlyThisComputersPlainHttpAddress)
{
    struct Case {
        const char *name;
        QByteArray xml;
        const char *url; // empty: refused with `kind`
        Kind kind;
    };
    const QByteArray dtd = "<?xml version=\"1.0\"?><!DOCTYPE configuration [<!ENTITY k \"k3y\">]>";
    const Case cases[] = {
        {"loopback", config("127.0.0.1:8384"), "http://127.0.0.1:8384", {}},
        {"IPv6 loopback", config("[::1]:9"), "http://[::1]:9", {}},
        {"every interface", config("0.0.0.0:8384"), "http://127.0.0.1:8384", {}},
        {"every IPv6 interface", config("[::]:8384"), "http://[::1]:8384", {}},
        {"port only", config(":8384"), "http://127.0.0.1:8384", {}},
        {"localhost, not looked up", config("localhost:8384"), "http://127.0.0.1:8384", {}},
        {"another computer", config("192.168.1.5:8384"), "", Kind::unsupportedAddress},
        {"a name", config("syncthing.example:8384"), "", Kind::unsupportedAddress},
        {"HTTPS", config("127.0.0.1:8384", "tls=\"true\""), "", Kind::unsupportedAddress},
        {"Unix socket", config("unix:///run/syncthing.sock"), "", Kind::unsupportedAddress},
        {"Unix socket path", config("/run/syncthing.sock"), "", Kind::unsupportedAddress},
        {"interface off", config("127.0.0.1:8384", "enabled=\"false\" tls=\"false\"").replace("enabled=\"true\" ", ""),
         "", Kind::unsupportedAddress},
        {"no port", config("127.0.0.1"), "", Kind::badConfig},
        {"no key", config("127.0.0.1:8384", "tls=\"false\"", ""), "", Kind::badConfig},
        {"key with a line break", config("127.0.0.1:8384", "tls=\"false\"", "k3y\r\nX-Other: 1"), "", Kind::badConfig},
        {"entity from a DTD", dtd + config("127.0.0.1:8384", "tls=\"false\"", "&k;"), "", Kind::badConfig},
        {"no gui", "<configuration version=\"36\"></configuration>", "", Kind::badConfig},
        {"another document", "<html><gui><address>127.0.0.1:8384</address><apikey>k</apikey></gui></html>", "",
         Kind::badConfig},
        {"cut short", config("127.0.0.1:8384").left(120), "", Kind::badConfig},
    };
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.xml"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path, c.xml);
        const auto endpoint = readSyncthingConfig(path);
        if (*c.url) {
            ASSERT_TRUE(endpoint) << endpoint.error().text().toStdString();
            EXPECT_EQ(endpoint->baseUrl, QUrl(QString::fromLatin1(c.url)));
            EXPECT_EQ(endpoint->apiKey, "k3y-Of_Syncthing");
        } else {
            ASSERT_FALSE(endpoint);
            EXPECT_EQ(endpoint.error().kind, c.kind);
            EXPECT_FALSE(endpoint.error().text().isEmpty());
        }
    }
    // The size limit, from both sides.
    for (const qint64 size : {kMaxSyncthingConfigBytes, kMaxSyncthingConfigBytes + 1}) {
        QByteArray xml = config("127.0.0.1:8384");
        xml.insert(xml.indexOf("<device"), "<!--" + QByteArray(size - xml.size() - 7, 'x') + "-->");
        ASSERT_EQ(xml.size(), size);
        writeFile(path, xml);
        EXPECT_EQ(readSyncthingConfig(path).ok(), size == kMaxSyncthingConfigBytes) << size;
    }
}

class RealSyncthing : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString error;
        instance = SyncthingInstance::create(dir.filePath(QStringLiteral("home")), QStringLiteral("test"), &error);
        ASSERT_TRUE(instance) << error.toStdString();
        // A folder added in Syncthing's own interface keeps its "~".
        ASSERT_TRUE(instance->configure({}, {{QStringLiteral("default"), QStringLiteral("~/Sync"), {}}}, &error));
        ASSERT_TRUE(instance->start(&error)) << error.toStdString();
    }

    QTemporaryDir dir;
    std::unique_ptr<SyncthingInstance> instance;
};

TEST_F(RealSyncthing, ReportsItselfAndMakesTheFolderOnce)
{
    SyncthingLink syncthing(linkOptions(instance->home()));
    ASSERT_TRUE(runTask(syncthing.ping()));
    const SyncthingStatus status = runTask(syncthing.status());
    EXPECT_TRUE(status.installed);
    EXPECT_EQ(status.configPath, instance->configPath());
    EXPECT_TRUE(status.running);
    EXPECT_EQ(status.deviceId, instance->deviceId());
    EXPECT_FALSE(status.problem);
    const auto before = runTask(syncthing.folders());
    ASSERT_TRUE(before) << before.error().text().toStdString();
    ASSERT_EQ(before->size(), 1);
    EXPECT_EQ(before->first().path, QStringLiteral("~/Sync"));
    const auto underHome =
        runTask(syncthing.ensureFolder(instance->home() + QStringLiteral("/Sync/TarniBar"), QStringLiteral("TarniBar")));
    ASSERT_TRUE(underHome) << underHome.error().text().toStdString();
    EXPECT_EQ(underHome->kind, SyncthingFolderOutcome::Kind::insideShared);
    EXPECT_EQ(underHome->folder, before->first());

    const QString path = dir.filePath(QStringLiteral("Sync/TarniBar"));
    const auto created = runTask(syncthing.ensureFolder(path, QStringLiteral("TarniBar")));
    ASSERT_TRUE(created) << created.error().text().toStdString();
    EXPECT_EQ(created->kind, SyncthingFolderOutcome::Kind::created);
    EXPECT_TRUE(created->folder.id.startsWith(QLatin1String("tarnibar-")));
    EXPECT_EQ(QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    const auto listed = runTask(syncthing.folders());
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->size(), 2);
    EXPECT_EQ(listed->last(), created->folder);
    // Syncthing has rewritten its config; what follows reads its own writing.
    ASSERT_TRUE(readFile(instance->configPath()).contains(created->folder.id.toUtf8()));

    // The same folder and one inside it, spelt through a symbolic link.
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("Sync")), link));
    const auto again = runTask(syncthing.ensureFolder(link + QStringLiteral("/TarniBar/"), QStringLiteral("TarniBar")));
    ASSERT_TRUE(again) << again.error().text().toStdString();
    EXPECT_EQ(again->kind, SyncthingFolderOutcome::Kind::alreadyShared);
    EXPECT_EQ(again->folder, created->folder);
    const auto inside = runTask(syncthing.ensureFolder(link + QStringLiteral("/TarniBar/devices"), QStringLiteral("TarniBar")));
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->kind, SyncthingFolderOutcome::Kind::insideShared);
    const auto around = runTask(syncthing.ensureFolder(dir.filePath(QStringLiteral("Sync")), QStringLiteral("TarniBar")));
    ASSERT_FALSE(around);
    EXPECT_EQ(around.error().kind, Kind::folderOverlap);
    EXPECT_EQ(runTask(syncthing.folders())->size(), 2);
}

TEST_F(RealSyncthing, TellsAWrongKeyFromAStoppedSyncthing)
{
    // Another config naming the same Syncthing with another key.
    const QString otherHome = dir.filePath(QStringLiteral("other"));
    QByteArray xml = readFile(instance->configPath());
    ASSERT_TRUE(xml.contains(instance->apiKey()));
    writeFile(QDir(otherHome).filePath(QStringLiteral("config.xml")), xml.replace(instance->apiKey(), "wrong-key"));
    SyncthingLink wrong(linkOptions(otherHome));
    const auto refused = runTask(wrong.ping());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, Kind::unauthorized);
    const SyncthingStatus refusedStatus = runTask(wrong.status());
    EXPECT_FALSE(refusedStatus.running);
    ASSERT_TRUE(refusedStatus.problem);
    EXPECT_EQ(refusedStatus.problem->kind, Kind::unauthorized);

    SyncthingLink link(linkOptions(instance->home()));
    ASSERT_TRUE(runTask(link.ping()));
    instance->stop();
    const auto down = runTask(link.ping());
    ASSERT_FALSE(down);
    EXPECT_EQ(down.error().kind, Kind::notRunning);
    EXPECT_FALSE(down.error().text().contains(QString::fromLatin1(instance->apiKey())));
    const SyncthingStatus status = runTask(link.status());
    EXPECT_EQ(status.configPath, instance->configPath());
    EXPECT_FALSE(status.running);
    ASSERT_TRUE(status.problem);
    EXPECT_EQ(status.problem->kind, Kind::notRunning);
}

TEST(SyncthingLinkAnswers, RefusesWhatIsNotSyncthingsAnswer)
{
    LocalHttpServer server;
    QTemporaryDir home;
    writeFile(home.filePath(QStringLiteral("config.xml")),
              config("127.0.0.1:" + QByteArray::number(QUrl(server.url(QStringLiteral("/"))).port())));
    SyncthingLink link(linkOptions(home.path(), std::chrono::milliseconds(500)));
    const QString ping = QStringLiteral("/rest/system/ping");
    const auto pingWith = [&](const QByteArray &body, int status = 200) {
        server.serve(ping, LocalHttpServer::Response{status, body, {}});
        return runTask(link.ping());
    };
    EXPECT_TRUE(pingWith("{\"ping\": \"pong\"}"));
    EXPECT_EQ(pingWith("{\"ping\": \"pong\"").error().kind, Kind::badResponse);
    EXPECT_EQ(pingWith("[]").error().kind, Kind::badResponse);
    const auto failed = pingWith("folder has empty ID", 500);
    EXPECT_EQ(failed.error().kind, Kind::refused);
    EXPECT_TRUE(failed.error().text().contains(QLatin1String("folder has empty ID")));
    server.serve(ping, LocalHttpServer::Response{302, {}, "http://192.0.2.1/rest/system/ping"});
    EXPECT_EQ(runTask(link.ping()).error().kind, Kind::refused);
    // The size limit, from both sides.
    for (const qint64 size : {SyncthingLink::kMaxReplyBytes, SyncthingLink::kMaxReplyBytes + 1}) {
        const QByteArray pong = "{\"ping\": \"pong\"}";
        const auto answer = pingWith(pong + QByteArray(size - pong.size(), ' '));
        EXPECT_EQ(answer.ok(), size == SyncthingLink::kMaxReplyBytes) << size;
    }
    server.serveSlowly(ping, "{\"ping\": \"pong\"}", 200);
    EXPECT_EQ(runTask(link.ping()).error().kind, Kind::timedOut);
}

} // namespace

int main(int argc, char **argv)
{
    return runInPrivateNetwork(argc, argv);
}

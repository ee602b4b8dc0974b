// The application left running under a steady load: a large workspace, Chrome
// events arriving through the real native host and its queue, and edits over
// D-Bus. Every event must show up in the database, and the resident memory
// must stay flat once warmed up.
//
// The default size is CI's (smaller again under AddressSanitizer);
// TARNI_SOAK_FULL=1 runs the full soak (100,000 nodes, 10,000 events, 1,000
// edits) that docs/reliability.md records.

#include "HostProcess.h"
#include "SessionBus.h"
#include "TabWorkspace.h"
#include "XvfbSession.h"

#include "app/ApplicationBusNames.h"
#include "app/UITestConfig.h"
#include "common/DataRoot.h"
#include "storage/WorkspaceStore.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;

namespace {

struct Scale {
    int nodes;
    int events;
    int edits;
};

constexpr int kEventsPerRound = 100;
// Rounds before memory is taken as warmed up: the first allocations of every
// path, the daily snapshot and the first trash entries.
constexpr double kWarmUpShare = 0.2;
constexpr double kAllowedGrowth = 0.05;

constexpr bool kUnderAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#else
    false;
#endif

Scale scale()
{
    if (qEnvironmentVariableIntValue("TARNI_SOAK_FULL") == 1)
        return {100000, 10000, 1000};
    // Under AddressSanitizer only the events and edits are checked, and
    // everything runs a few times slower.
    if (kUnderAddressSanitizer)
        return {10000, 500, 50};
    return {20000, 1000, 100};
}

long residentKiB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

// Reads the application's database as another process would, while it runs.
class DatabaseReader {
public:
    explicit DatabaseReader(const std::filesystem::path &file)
    {
        sqlite3_open_v2(file.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~DatabaseReader() { sqlite3_close(m_db); }

    // The stored payloads of `parent`'s children of `kind`.
    QStringList childPayloads(const QString &parent, const char *kind)
    {
        QStringList titles;
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, "SELECT payload_json FROM nodes WHERE parent_id = ? AND kind = ?", -1, &statement,
                               nullptr) != SQLITE_OK)
            return titles;
        const QByteArray id = parent.toUtf8();
        sqlite3_bind_text(statement, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, kind, -1, SQLITE_STATIC);
        while (sqlite3_step(statement) == SQLITE_ROW)
            titles << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
        return titles;
    }

    QStringList ids(const char *sql)
    {
        QStringList out;
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK)
            return out;
        while (sqlite3_step(statement) == SQLITE_ROW)
            out << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
        return out;
    }

    long long count(const char *sql)
    {
        sqlite3_stmt *statement = nullptr;
        long long value = -1;
        if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        return value;
    }

private:
    sqlite3 *m_db = nullptr;
};

class ApplicationSoakTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_FALSE(m_bus.address().isEmpty()) << m_bus.error().toStdString();
        QString error;
        m_session = XvfbSession::start({1600, 1000, true}, &error);
        ASSERT_TRUE(m_session) << error.toStdString();
    }

    void TearDown() override
    {
        m_host.reset();
        if (m_app > 0)
            stopProcess(m_app, 10000);
        QDBusConnection::disconnectFromBus(QStringLiteral("soak"));
        m_session.reset();
    }

    QString root() const { return m_dir.filePath(QStringLiteral("root")); }

    QDBusMessage call(const QString &method, const QVariantList &arguments = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(bus::serviceNameForDataRoot(root().toStdString()),
                                                              QString::fromLatin1(bus::kObjectPath),
                                                              QString::fromLatin1(bus::kInterface), method);
        message.setArguments(arguments);
        return m_client->call(message, QDBus::Block, 120000);
    }

    // One edit; a failed one fails the test with the application's message.
    QString edit(const QString &method, const QVariantList &arguments = {})
    {
        const QDBusMessage reply = call(method, arguments);
        ++m_edits;
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method.toStdString() << ": "
                                                            << reply.errorMessage().toStdString();
        return reply.arguments().isEmpty() ? QString() : reply.arguments().first().toString();
    }

    QTemporaryDir m_dir;
    SessionBus m_bus;
    std::unique_ptr<XvfbSession> m_session;
    std::unique_ptr<QDBusConnection> m_client;
    std::unique_ptr<HostProcess> m_host;
    pid_t m_app = -1;
    int m_edits = 0;
};

TEST_F(ApplicationSoakTest, EventsAndEditsAreAllKeptAndMemoryStaysFlat)
{
    const Scale size = scale();
    std::fprintf(stderr, "soak: %d nodes, %d events, %d edits\n", size.nodes, size.events, size.edits);

    // The workspace, written before the start as a previous run would have.
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("TARNI_UITEST_ROOT"), root());
    const UITestConfig config = UITestConfig::read({}, environment);
    {
        std::filesystem::create_directories(config.applicationSupportRoot);
        std::filesystem::permissions(config.applicationSupportRoot, std::filesystem::perms::owner_all);
        WorkspaceStore store(config.applicationSupportRoot / kWorkspaceDatabaseName);
        auto workspace = store.fetchOrCreateDefaultWorkspace();
        ASSERT_TRUE(workspace);
        ASSERT_TRUE(store.replaceNodes(bench::makeTabWorkspace(size.nodes, workspace->id, false), workspace->id));
    }

    // Not in automation mode: its state dump after every command would write
    // the whole workspace thousands of times and measure nothing else.
    m_app = spawnProcess(QStringLiteral(TARNIBAR_EXECUTABLE), {QStringLiteral("--background")},
                         {asanOptionsForXcbClient(), QStringLiteral("DISPLAY=") + m_session->display(),
                          QStringLiteral("QT_QPA_PLATFORM=xcb"), QStringLiteral("TARNI_UITEST_ROOT=") + root(),
                          QStringLiteral("XDG_CONFIG_HOME=") + m_dir.filePath(QStringLiteral("config")),
                          QStringLiteral("XDG_DATA_HOME=") + m_dir.filePath(QStringLiteral("data")),
                          QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + m_bus.address()});
    ASSERT_GT(m_app, 0);
    m_client = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("soak")));
    ASSERT_TRUE(m_client->isConnected());
    QElapsedTimer started;
    started.start();
    while (call(QStringLiteral("DataRoot")).type() != QDBusMessage::ReplyMessage) {
        ASSERT_LT(started.elapsed(), 120000) << "the application did not answer on the bus";
        ASSERT_EQ(::waitpid(m_app, nullptr, WNOHANG), 0) << "the application ended";
        QThread::msleep(100);
    }

    // Chrome's side: the real host, fed frames as the browser feeds them.
    m_host = std::make_unique<HostProcess>(
        TARNI_HOST_PROGRAM, std::vector<std::string>{"TARNI_UITEST_ROOT=" + root().toStdString(),
                                                     "HOME=" + m_dir.filePath(QStringLiteral("home")).toStdString(),
                                                     "XDG_DATA_HOME=" + m_dir.filePath(QStringLiteral("data")).toStdString()});
    ASSERT_TRUE(m_host->started());

    DatabaseReader database(config.applicationSupportRoot / kWorkspaceDatabaseName);
    const QStringList tabs = database.ids("SELECT id FROM nodes WHERE kind = 'chromeTab'");
    const QStringList groups = database.ids("SELECT id FROM nodes WHERE kind = 'group'");
    ASSERT_FALSE(tabs.isEmpty());
    ASSERT_FALSE(groups.isEmpty());
    QRandomGenerator random(7);

    const int rounds = size.events / kEventsPerRound;
    const int warmUpRounds = std::max(1, int(rounds * kWarmUpShare));
    const int editsPerRound = size.edits / rounds;
    ASSERT_GE(editsPerRound, 4);
    QList<long> samples;
    QString previousGroup;
    QElapsedTimer clock;
    clock.start();
    for (int round = 0; round < rounds; ++round) {
        // Captures go where the selection says: a fresh group each round.
        const QString group = edit(QStringLiteral("AddNode"), {QStringLiteral("group"), QStringLiteral("Soak %1").arg(round),
                                                               QString(), QVariantMap()});
        ASSERT_FALSE(group.isEmpty());
        ASSERT_EQ(call(QStringLiteral("Select"), {group}).type(), QDBusMessage::ReplyMessage);

        QStringList expected;
        for (int i = 0; i < kEventsPerRound; ++i) {
            const QString permalink = QStringLiteral("https://soak.slack.com/archives/C%1/p%2").arg(round).arg(1000000 + i);
            expected << permalink;
            const std::string frame = R"({"id":")" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString() +
                                      R"(","message":{"type":"saveSlackThread","slackThread":{"permalinkURL":")" +
                                      permalink.toStdString() + R"(","preferredOpenMode":"browserPermalink"}}})";
            ASSERT_TRUE(m_host->writeFrame(frame));
        }
        // Every event of the round in the database, once.
        QElapsedTimer waited;
        waited.start();
        QStringList arrived;
        while ((arrived = database.childPayloads(group, "slackThread")).size() < kEventsPerRound &&
               waited.elapsed() < 120000)
            QThread::msleep(50);
        ASSERT_EQ(arrived.size(), kEventsPerRound) << "round " << round << ": events lost\n"
                                                   << m_host->standardError();
        for (const QString &permalink : expected)
            ASSERT_EQ(arrived.filter(QString(permalink + QLatin1Char('"'))).size(), 1) << permalink.toStdString();

        // The rest of the round's edits, on the big tree.
        int edits = 1;
        for (; edits < editsPerRound - 2; ++edits) {
            const QString tab = tabs[random.bounded(qsizetype(tabs.size()))];
            if (edits % 2)
                edit(QStringLiteral("Rename"), {tab, QStringLiteral("Renamed in round %1").arg(round)});
            else
                edit(QStringLiteral("Move"), {tab, groups[random.bounded(qsizetype(groups.size()))], -1});
        }
        if (!previousGroup.isEmpty()) {
            edit(QStringLiteral("Delete"), {previousGroup});
            edit(QStringLiteral("TrashEmpty"));
        } else {
            edit(QStringLiteral("ToggleCollapse"), {groups.first()});
            edit(QStringLiteral("ToggleCollapse"), {groups.first()});
        }
        previousGroup = group;

        samples << residentKiB(m_app);
        ASSERT_GT(samples.last(), 0);
    }
    const double seconds = clock.elapsed() / 1000.0;
    const long warm = samples[warmUpRounds - 1];
    const long peak = *std::max_element(samples.begin() + warmUpRounds, samples.end());
    std::fprintf(stderr,
                 "soak: %d events, %d edits in %.1f s; RSS after warm-up %.1f MiB, at the end %.1f MiB (%+.1f %%), "
                 "highest %.1f MiB\n",
                 rounds * kEventsPerRound, m_edits, seconds, warm / 1024.0, samples.last() / 1024.0,
                 100.0 * (double(samples.last()) / double(warm) - 1.0), peak / 1024.0);
    EXPECT_GE(m_edits, size.edits);
    EXPECT_EQ(database.count("SELECT count(*) FROM nodes WHERE kind = 'slackThread'"), kEventsPerRound)
        << "only the last round's captures stay";
    EXPECT_EQ(database.count("SELECT count(*) FROM nodes WHERE title LIKE 'Soak %'"), 1);
    if (kUnderAddressSanitizer)
        std::fprintf(stderr, "soak: memory not compared: AddressSanitizer's quarantine holds freed memory\n");
    else
        EXPECT_LE(double(samples.last()), double(warm) * (1.0 + kAllowedGrowth));

    // Still answering, and ends as asked.
    EXPECT_EQ(call(QStringLiteral("Quit")).type(), QDBusMessage::ReplyMessage);
    int status = -1;
    EXPECT_TRUE(waitUntil([&] { return ::waitpid(m_app, &status, WNOHANG) == m_app; }, 30s));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    m_app = -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

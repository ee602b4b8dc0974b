// tarnibar-cli as a black box: databases built with plain SQL, the program
// run as a separate process, its output and exit codes checked.

#include "CliProcess.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cctype>

#include <sqlite3.h>
#include <sys/stat.h>

using namespace tarni;
using namespace std::chrono;
using namespace tarni::testing;

namespace {

const char *kSchema = R"(
CREATE TABLE workspaces (id TEXT PRIMARY KEY, title TEXT NOT NULL, created_at TEXT NOT NULL,
                         updated_at TEXT NOT NULL, payload_json TEXT NOT NULL);
CREATE TABLE nodes (id TEXT PRIMARY KEY, workspace_id TEXT NOT NULL, parent_id TEXT, kind TEXT NOT NULL,
                    title TEXT NOT NULL, subtitle TEXT, sort_order REAL NOT NULL, is_collapsed INTEGER NOT NULL,
                    icon_key TEXT, created_at TEXT NOT NULL, updated_at TEXT NOT NULL, last_opened_at TEXT,
                    payload_json TEXT NOT NULL);
CREATE TABLE snapshots (id TEXT PRIMARY KEY, workspace_id TEXT NOT NULL, created_at TEXT NOT NULL,
                        payload_json TEXT NOT NULL);
)";

class TarnibarCliTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString root() const { return dir.path() + QStringLiteral("/root"); }
    QString database() const { return root() + QStringLiteral("/workspace.sqlite"); }
    sqlite3 *db = nullptr;
    QUuid workspace = newUuid();
    std::vector<WorkspaceNode> inserted;

    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(root()));
        ASSERT_EQ(sqlite3_open(database().toUtf8().constData(), &db), SQLITE_OK);
        exec(kSchema);
    }
    void TearDown() override { sqlite3_close_v2(db); }

    void exec(const std::string &sql)
    {
        char *message = nullptr;
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
    }
    static std::string quoted(const std::string &text)
    {
        std::string out = "'";
        for (char c : text)
            out += c == '\'' ? std::string("''") : std::string(1, c);
        return out + "'";
    }

    void insertWorkspace()
    {
        const Timestamp t = sys_days{year{2024} / 1 / 1};
        exec("INSERT INTO workspaces VALUES (" + quoted(uuidText(workspace)) + ", 'Workspace', '2024-01-01T00:00:00Z', "
             "'2024-01-01T00:00:00Z', " + quoted(*json::encode(Workspace{workspace, QStringLiteral("Workspace"), t, t})) + ")");
    }

    WorkspaceNode insertNode(NodePayload payload, const QString &title, std::optional<QUuid> parent, double sortOrder)
    {
        const Timestamp t = sys_days{year{2024} / 1 / 2};
        WorkspaceNode node(newUuid(), workspace, parent, payload.kind(), title, std::nullopt, sortOrder, false,
                           std::nullopt, t, t, std::nullopt, payload);
        exec("INSERT INTO nodes VALUES (" + quoted(uuidText(node.id())) + ", " + quoted(uuidText(workspace)) + ", " +
             (parent ? quoted(uuidText(*parent)) : std::string("NULL")) + ", " +
             quoted(std::string(rawValue(node.kind()))) + ", " + quoted(title.toStdString()) + ", NULL, " +
             std::to_string(sortOrder) + ", 0, NULL, '2024-01-02T00:00:00Z', '2024-01-02T00:00:00Z', NULL, " +
             quoted(*json::encode(node)) + ")");
        inserted.push_back(node);
        return node;
    }

    void insertSampleWorkspace()
    {
        insertWorkspace();
        WorkspaceNode work = insertNode(NodePayload::group(), QStringLiteral("Work"), std::nullopt, 1);
        WorkspaceNode home = insertNode(NodePayload::group(), QStringLiteral("Home"), std::nullopt, 0);
        insertNode(NodePayload::chromeTab(BrowserTarget{QStringLiteral("https://a.example"), QStringLiteral("A"),
                                                        std::nullopt, BrowserOpenMode::existingTab, std::nullopt}),
                   QStringLiteral("A tab"), work.id(), 1);
        insertNode(NodePayload::file(FileTarget{QStringLiteral("/tmp/notes.txt"), std::nullopt}),
                   QStringLiteral("Notes"), work.id(), 0);
        insertNode(NodePayload::webLink(WebLinkTarget{QStringLiteral("https://b.example"), std::nullopt}),
                   QStringLiteral("Link"), home.id(), 0);
        const WorkspaceSnapshot snapshot{newUuid(), workspace, QStringLiteral("S Snapshot"), 1,
                                         sys_days{year{2024} / 1 / 3}, std::nullopt,
                                         TreeExportNode(newUuid(), std::nullopt, QStringLiteral("Workspace"), home)};
        exec("INSERT INTO snapshots VALUES (" + quoted(uuidText(snapshot.id)) + ", " + quoted(uuidText(workspace)) +
             ", '2024-01-03T00:00:00Z', " + quoted(*json::encode(snapshot)) + ")");
    }

    QByteArray fileDigest(const QString &path)
    {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
    }
};

} // namespace

TEST_F(TarnibarCliTest, CheckCountsTablesAndKindsOfAHealthyDatabase)
{
    insertSampleWorkspace();
    const QByteArray before = fileDigest(database());
    const CliRun run = runCli({QStringLiteral("--root"), root(), QStringLiteral("check")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("integrity: ok\nworkspaces: 1\nnodes: 5\n  group: 2\n  chromeTab: 1\n"
                                      "  webLink: 1\n  slackThread: 0\n  file: 1\n  folder: 0\nsnapshots: 1\n"));
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    EXPECT_EQ(fileDigest(database()), before); // reading changes nothing
}

TEST_F(TarnibarCliTest, CheckNamesEveryUndecodableRowAndExitsOne)
{
    insertSampleWorkspace();
    const std::string nodeID = uuidText(inserted[2].id());
    exec("UPDATE nodes SET payload_json = replace(payload_json, '\"titleSnapshot\":\"A\",', '') WHERE id = '" + nodeID +
         "'");
    exec("INSERT INTO snapshots VALUES ('SNAP-1', 'w', 'c', 'not json')");
    const CliRun run = runCli({QStringLiteral("--root"), root(), QStringLiteral("check")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.contains(QStringLiteral("nodes: 5"))) << run.out.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("nodes row %1: \"payload.chromeTab.titleSnapshot\": required key is missing")
                                     .arg(QString::fromStdString(nodeID))))
        << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("snapshots row SNAP-1: "))) << run.err.toStdString();
}

TEST_F(TarnibarCliTest, NodesPrintsOneArrayWithRowsOtherProgramsWroteAsTheyDecode)
{
    insertSampleWorkspace();
    const WorkspaceNode &tab = inserted[2];
    const std::string canonical = *json::encode(tab);
    const std::string upper = uuidText(tab.id());
    std::string lower = upper;
    for (char &c : lower)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    std::string foreign = canonical;
    foreign.replace(foreign.find(upper), upper.size(), lower);
    foreign.insert(1, "\"addedBy\":\"script\",");
    exec("UPDATE nodes SET id = " + quoted(lower) + ", payload_json = " + quoted(foreign) + " WHERE id = " +
         quoted(upper));

    const CliRun run = runCli({QStringLiteral("--root"), root(), QStringLiteral("nodes"), QStringLiteral("--json")});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    // One compact array on one line, in the store's order (tested there).
    EXPECT_EQ(run.out.count(QLatin1Char('\n')), 1);
    const QJsonArray listed = QJsonDocument::fromJson(run.out.toUtf8()).array();
    ASSERT_EQ(listed.size(), 5) << run.out.toStdString();
    EXPECT_EQ(listed[0].toObject().value(QStringLiteral("title")), QStringLiteral("Home"));
    const std::string out = run.out.toStdString();
    EXPECT_NE(out.find(canonical), std::string::npos) << out;
    EXPECT_EQ(out.find(lower), std::string::npos) << out;
    EXPECT_EQ(out.find("addedBy"), std::string::npos) << out;
    // The untouched rows come out as stored.
    EXPECT_NE(out.find(*json::encode(inserted[4])), std::string::npos) << out;
}

TEST_F(TarnibarCliTest, NodesOfADatabaseWithoutWorkspaceIsAnEmptyArray)
{
    const CliRun run = runCli({QStringLiteral("--root"), root(), QStringLiteral("nodes"), QStringLiteral("--json")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("[]\n"));
}

TEST_F(TarnibarCliTest, MissingRootAndMissingDatabaseHaveTheirOwnCodesAndCreateNothing)
{
    const QString missingRoot = dir.path() + QStringLiteral("/absent");
    const QString emptyRoot = dir.path() + QStringLiteral("/empty");
    const QString loopRoot = dir.path() + QStringLiteral("/loop");
    const QString loopDatabaseRoot = dir.path() + QStringLiteral("/loopdb");
    ASSERT_TRUE(QDir().mkpath(emptyRoot));
    ASSERT_TRUE(QDir().mkpath(loopDatabaseRoot));
    ASSERT_TRUE(QFile::link(loopRoot, loopRoot));
    ASSERT_TRUE(QFile::link(QStringLiteral("workspace.sqlite"), loopDatabaseRoot + QStringLiteral("/workspace.sqlite")));
    const struct {
        QString where;
        int exitCode;
        const char *cause;
    } rows[] = {
        {missingRoot, 3, "no data root"},
        {emptyRoot, 4, "no workspace database"},
        {loopRoot, 3, "Too many levels of symbolic links"},
        {loopDatabaseRoot, 4, "Too many levels of symbolic links"},
    };
    for (const auto &row : rows) {
        for (const QStringList &command : {QStringList{QStringLiteral("check")},
                                           QStringList{QStringLiteral("nodes"), QStringLiteral("--json")}}) {
            const CliRun run = runCli(QStringList{QStringLiteral("--root"), row.where} + command);
            EXPECT_EQ(run.exitCode, row.exitCode) << row.where.toStdString() << " " << command.front().toStdString();
            EXPECT_TRUE(run.err.contains(row.where)) << run.err.toStdString();
            EXPECT_TRUE(run.err.contains(QString::fromLatin1(row.cause))) << run.err.toStdString();
        }
    }
    const CliRun edit = runCli({QStringLiteral("--root"), loopRoot, QStringLiteral("add"), QStringLiteral("group"),
                                QStringLiteral("x")});
    EXPECT_EQ(edit.exitCode, 3);
    EXPECT_TRUE(edit.err.contains(QStringLiteral("Too many levels of symbolic links"))) << edit.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(missingRoot));
    EXPECT_TRUE(QDir(emptyRoot).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST_F(TarnibarCliTest, DamagedAndLockedDatabasesHaveTheirOwnCodes)
{
    insertSampleWorkspace();
    sqlite3_close_v2(db);
    db = nullptr;

    // A file that is not a database at all.
    QFile garbage(database());
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly | QIODevice::Truncate));
    garbage.write(QByteArray(8192, 'z'));
    garbage.close();
    EXPECT_EQ(runCli({QStringLiteral("--root"), root(), QStringLiteral("check")}).exitCode, 6);
    const CliRun nodes = runCli({QStringLiteral("--root"), root(), QStringLiteral("nodes"), QStringLiteral("--json")});
    EXPECT_EQ(nodes.exitCode, 6);
    EXPECT_TRUE(nodes.err.contains(QStringLiteral("the database file is damaged"))) << nodes.err.toStdString();

    // A database another program keeps exclusively locked.
    ASSERT_TRUE(QFile::remove(database()));
    ASSERT_EQ(sqlite3_open(database().toUtf8().constData(), &db), SQLITE_OK);
    exec(kSchema);
    insertWorkspace();
    exec("PRAGMA locking_mode=EXCLUSIVE");
    exec("BEGIN EXCLUSIVE");
    exec("INSERT INTO snapshots VALUES ('a', 'b', 'c', '{}')");
    const CliRun locked = runCli({QStringLiteral("--root"), root(), QStringLiteral("nodes"), QStringLiteral("--json")});
    EXPECT_EQ(locked.exitCode, 5) << locked.err.toStdString();
    EXPECT_EQ(runCli({QStringLiteral("--root"), root(), QStringLiteral("check")}).exitCode, 5);
    exec("ROLLBACK");
}

// Reading needs a "-shm" file beside a WAL database; in a read-only folder
// the readers still work when no changes wait in the log, and say why not
// when some do.
TEST_F(TarnibarCliTest, ReadingCommandsWorkWithoutWriteAccessToTheRoot)
{
    exec("PRAGMA journal_mode=WAL");
    insertSampleWorkspace();
    sqlite3_close_v2(db);
    db = nullptr;
    ASSERT_FALSE(QFileInfo::exists(database() + QStringLiteral("-shm")));
    ASSERT_EQ(::chmod(dir.path().toUtf8().constData(), 0755), 0);
    ASSERT_EQ(::chmod(database().toUtf8().constData(), 0644), 0);
    ASSERT_EQ(::chmod(root().toUtf8().constData(), 0555), 0);
    for (const QStringList &command : {QStringList{QStringLiteral("check")},
                                       QStringList{QStringLiteral("nodes"), QStringLiteral("--json")},
                                       QStringList{QStringLiteral("tree")}, QStringList{QStringLiteral("export")}}) {
        const CliRun run =
            runCli(QStringList{QStringLiteral("--root"), root()} + command, {}, 30000, CliUser::withoutWriteAccess);
        EXPECT_EQ(run.exitCode, 0) << command.join(QLatin1Char(' ')).toStdString() << ": " << run.err.toStdString();
        EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    }

    // Changes still in the log cannot be read without a file beside it.
    ASSERT_EQ(::chmod(root().toUtf8().constData(), 0755), 0);
    ASSERT_EQ(sqlite3_open(database().toUtf8().constData(), &db), SQLITE_OK);
    exec("PRAGMA wal_autocheckpoint=0");
    exec("INSERT INTO snapshots VALUES ('x', 'y', 'z', '{}')");
    ASSERT_TRUE(QFile::copy(database() + QStringLiteral("-wal"), dir.path() + QStringLiteral("/wal")));
    sqlite3_close_v2(db);
    db = nullptr;
    ASSERT_TRUE(QFile::copy(dir.path() + QStringLiteral("/wal"), database() + QStringLiteral("-wal")));
    QFile::remove(database() + QStringLiteral("-shm"));
    ASSERT_EQ(::chmod((database() + QStringLiteral("-wal")).toUtf8().constData(), 0644), 0);
    ASSERT_EQ(::chmod(root().toUtf8().constData(), 0555), 0);
    const CliRun refused =
        runCli({QStringLiteral("--root"), root(), QStringLiteral("tree")}, {}, 30000, CliUser::withoutWriteAccess);
    EXPECT_EQ(refused.exitCode, 7);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("is read-only, and the changes waiting in \"workspace.sqlite-wal\"")))
        << refused.err.toStdString();
    ASSERT_EQ(::chmod(root().toUtf8().constData(), 0755), 0);

    const QString secret = dir.path() + QStringLiteral("/secret.json");
    QFile(secret).open(QIODevice::WriteOnly);
    ASSERT_EQ(::chmod(secret.toUtf8().constData(), 0), 0);
    const CliRun unreadable = runCli({QStringLiteral("--root"), root(), QStringLiteral("import"), secret}, {}, 30000,
                                     CliUser::withoutWriteAccess);
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_TRUE(unreadable.err.contains(QStringLiteral("secret.json\": permission denied"))) << unreadable.err.toStdString();
}

TEST_F(TarnibarCliTest, UsageErrorsHelpVersionAndTheDefaultRoot)
{
    EXPECT_EQ(runCli({}).exitCode, 2);
    EXPECT_EQ(runCli({QStringLiteral("frobnicate")}).exitCode, 2);
    EXPECT_EQ(runCli({QStringLiteral("--bogus"), QStringLiteral("check")}).exitCode, 2);
    EXPECT_EQ(runCli({QStringLiteral("--root")}).exitCode, 2);
    EXPECT_EQ(runCli({QStringLiteral("--root"), root(), QStringLiteral("nodes")}).exitCode, 2);
    EXPECT_EQ(runCli({QStringLiteral("--root"), root(), QStringLiteral("check"), QStringLiteral("extra")}).exitCode, 2);

    const CliRun help = runCli({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    for (const char *text : {"--root DIR", "check", "nodes --json", "Exit codes", "  5  the database stayed locked"})
        EXPECT_TRUE(help.out.contains(QLatin1String(text))) << text;
    const CliRun version = runCli({QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith(QStringLiteral("tarnibar-cli ")));

    // TARNI_UITEST_ROOT picks the root; --root still wins over it.
    insertSampleWorkspace();
    const CliRun viaEnv = runCli({QStringLiteral("check")}, {QStringLiteral("TARNI_UITEST_ROOT=") + root()});
    EXPECT_EQ(viaEnv.exitCode, 0) << viaEnv.err.toStdString();
    const CliRun overridden = runCli({QStringLiteral("--root"), dir.path() + QStringLiteral("/absent"),
                                   QStringLiteral("check")},
                                  {QStringLiteral("TARNI_UITEST_ROOT=") + root()});
    EXPECT_EQ(overridden.exitCode, 3);
    // Without either, the XDG data home decides.
    const CliRun viaXdg = runCli({QStringLiteral("check")}, {QStringLiteral("XDG_DATA_HOME=") + dir.path()});
    EXPECT_EQ(viaXdg.exitCode, 3);
    EXPECT_TRUE(viaXdg.err.contains(dir.path() + QStringLiteral("/TarniBar"))) << viaXdg.err.toStdString();
}

// The tree commands of tarnibar-cli, run as a separate process against a real
// database in a temporary data root.

#include "CliProcess.h"
#include "RawDatabase.h"
#include "TestNodes.h"
#include "archive/SnapshotRetention.h"
#include "common/InstanceLock.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace tarni;
using namespace tarni::testing;

namespace {

// A list from space-separated words, with %1, %2... filled in; an argument
// that holds a space is appended with <<.
template <typename... Args>
QStringList words(const char *text, const Args &...args)
{
    QString result = QString::fromUtf8(text);
    ((result = result.arg(args)), ...);
    return result.split(QLatin1Char(' '));
}

QJsonObject nodeOf(const QJsonValue &entry) { return entry.toObject().value(QStringLiteral("node")).toObject(); }
QJsonArray childrenOf(const QJsonValue &entry) { return entry.toObject().value(QStringLiteral("children")).toArray(); }

QStringList titles(const QJsonArray &entries)
{
    QStringList list;
    for (const auto &entry : entries)
        list << nodeOf(entry).value(QStringLiteral("title")).toString();
    return list;
}

class TarnibarCliTreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString root() const { return dir.path(); }
    std::filesystem::path rootPath() const { return std::filesystem::path(root().toStdString()); }

    CliRun run(const QStringList &arguments, int timeoutMs = 60000) const
    {
        return runCli(QStringList{QStringLiteral("--root"), root()} + arguments, {}, timeoutMs);
    }

    // Runs a command that prints one node id, and returns it.
    QString idOf(const QStringList &arguments) const
    {
        const CliRun r = run(arguments);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QString id = r.out.trimmed();
        EXPECT_TRUE(parseUuid(id)) << r.out.toStdString();
        return id;
    }

    QJsonArray treeJson(const QStringList &extra = {}) const
    {
        const CliRun r = run(words("tree --json") + extra);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out.count(QLatin1Char('\n')), 1);
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }

    QByteArray databaseBytes() const
    {
        QFile file(root() + QStringLiteral("/workspace.sqlite"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir dir;
};

TEST_F(TarnibarCliTreeTest, AddsEveryKindAndShowsTheTree)
{
    const QString work = idOf(words("add group Work"));
    idOf(words("add link https://docs.example.org/guide --under %1", work));
    idOf(words("add link https://x.example --title") << QStringLiteral("-dash title") << QStringLiteral("--under") << work);
    idOf(words("add slack https://acme.slack.com/archives/C42/p1712345678123456 --under %1", work));
    QDir(root()).mkpath(QStringLiteral("Docs"));
    idOf(words("add folder") << root() + QStringLiteral("/Docs/"));
    idOf(words("add file") << root() + QStringLiteral("/Docs/../plan.txt"));
    idOf(words("add group -- -leading"));
    idOf(words("add group") << QStringLiteral("two\nlines"));

    const QJsonArray top = treeJson();
    EXPECT_EQ(titles(top), (QStringList{QStringLiteral("Work"), QStringLiteral("Docs"), QStringLiteral("plan.txt"),
                                        QStringLiteral("-leading"), QStringLiteral("two\nlines")}));
    EXPECT_EQ(titles(childrenOf(top[0])), (QStringList{QStringLiteral("docs.example.org"), QStringLiteral("-dash title"),
                                                        QStringLiteral("C42")}));
    EXPECT_EQ(nodeOf(top[2]).value(QStringLiteral("payload")).toObject().value(QStringLiteral("file")).toObject()
                  .value(QStringLiteral("path")).toString(),
              QDir::cleanPath(root() + QStringLiteral("/plan.txt")));

    const CliRun plain = run(words("tree"));
    ASSERT_EQ(plain.exitCode, 0);
    const QStringList lines = plain.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 8); // a title's line break does not break the line
    EXPECT_TRUE(lines[7].startsWith(QStringLiteral("- two lines  [group ")));
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("- Work  [group ") + work)) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("  - docs.example.org \u2014 https://docs.example.org/guide")));

    const QJsonArray found = treeJson(words("--search GUIDE"));
    EXPECT_EQ(titles(found), words("Work"));
    EXPECT_EQ(titles(childrenOf(found[0])), words("docs.example.org"));
}

TEST_F(TarnibarCliTreeTest, EditsPrintTheAffectedNode)
{
    const QString a = idOf(words("add group A"));
    const QString b = idOf(words("add group B"));
    const QString c = idOf(words("add group C"));
    const QString inner = idOf(words("add group inner --under %1", a));

    EXPECT_EQ(idOf(words("move %1 --index 1", a)), a);
    EXPECT_EQ(titles(treeJson()), words("B A C"));
    EXPECT_EQ(idOf(words("move %1 --under %2", c, b)), c);
    EXPECT_EQ(idOf(words("rename %1", b) << QStringLiteral("  Bee ")), b);
    EXPECT_EQ(idOf(words("collapse %1", b)), b);
    QJsonArray tree = treeJson();
    EXPECT_EQ(titles(tree), (QStringList{QStringLiteral("  Bee "), QStringLiteral("A")}));
    EXPECT_TRUE(nodeOf(tree[0]).value(QStringLiteral("isCollapsed")).toBool());
    EXPECT_TRUE(run(words("tree")).out.startsWith(QStringLiteral("+   Bee ")));

    const QString copy = idOf(words("duplicate %1", a));
    tree = treeJson();
    EXPECT_EQ(titles(tree), (QStringList{QStringLiteral("  Bee "), QStringLiteral("A"), QStringLiteral("A")}));
    EXPECT_EQ(nodeOf(tree[2]).value(QStringLiteral("id")).toString(), copy);
    EXPECT_EQ(titles(childrenOf(tree[2])), words("inner"));

    EXPECT_EQ(idOf(words("delete %1", a)), a);
    EXPECT_EQ(titles(treeJson()), (QStringList{QStringLiteral("  Bee "), QStringLiteral("A")}));
    EXPECT_EQ(run(words("rename %1 gone", inner)).exitCode, 7); // deleted with A
}

// Each edit reads only the rows it needs: the order it leaves and the step
// it records must be those of an edit of the whole tree.
TEST_F(TarnibarCliTreeTest, EditsKeepSiblingsNumberedAndEachStepUndoesToTheTreeBefore)
{
    const QString a = idOf(words("add group A"));
    const QString b = idOf(words("add group B"));
    QStringList inA, inB;
    for (int i = 0; i < 4; ++i)
        inA << idOf(words("add group a%1 --under %2", i, a));
    for (int i = 0; i < 3; ++i)
        inB << idOf(words("add group b%1 --under %2", i, b));
    const QString deep = idOf(words("add group deep --under %1", inA[0]));

    const QList<QStringList> edits{
        words("move %1 --under %2 --index 1", inA[1], b), // out of the middle of one group into another
        words("move %1 --index 0", inA[3]),                // to the head of the top level
        words("move %1 --under %2", b, deep),              // a group below a sibling's grandchild
        words("rename %1 renamed", inB[0]),
        words("collapse %1", a),
        words("duplicate %1", inA[0]),                     // a subtree
        words("delete %1", inA[2]),
        words("add group new --under %1", b),
    };
    // Every group numbered 0, 1, 2, ... in the order shown.
    std::function<void(const QJsonArray &)> expectNumbered = [&](const QJsonArray &entries) {
        for (qsizetype i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(nodeOf(entries[i]).value(QStringLiteral("sortOrder")).toDouble(), double(i))
                << nodeOf(entries[i]).value(QStringLiteral("title")).toString().toStdString();
            expectNumbered(childrenOf(entries[i]));
        }
    };
    QList<QJsonArray> states{treeJson()};
    for (const QStringList &edit : edits) {
        const CliRun r = run(edit);
        ASSERT_EQ(r.exitCode, 0) << edit.join(QLatin1Char(' ')).toStdString() << ": " << r.err.toStdString();
        states << treeJson();
        expectNumbered(states.last());
    }
    const QJsonArray &done = states.last();
    EXPECT_EQ(titles(done), (QStringList{QStringLiteral("a3"), QStringLiteral("A")}));
    EXPECT_EQ(titles(childrenOf(done[1])), (QStringList{QStringLiteral("a0"), QStringLiteral("a0")}));
    const QJsonArray deepChildren = childrenOf(childrenOf(childrenOf(done[1])[0])[0]);
    EXPECT_EQ(titles(deepChildren), words("B"));
    EXPECT_EQ(titles(childrenOf(deepChildren[0])), (QStringList{QStringLiteral("renamed"), QStringLiteral("a1"),
                                                                 QStringLiteral("b1"), QStringLiteral("b2"),
                                                                 QStringLiteral("new")}));

    for (qsizetype i = edits.size(); i-- > 0;) {
        const CliRun r = run(words("undo"));
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(treeJson(), states[i]) << "undoing " << edits[i].join(QLatin1Char(' ')).toStdString();
    }
    for (qsizetype i = 0; i < edits.size(); ++i) {
        const CliRun r = run(words("redo"));
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(treeJson(), states[i + 1]) << "redoing " << edits[i].join(QLatin1Char(' ')).toStdString();
    }
}

// A restore reads only the target's sibling group: it must put the subtree
// back where it was (or at the top level when its parent is gone), keep the
// group numbered, and record one step that undoes to the tree before.
TEST_F(TarnibarCliTreeTest, TrashRestoresInPlaceAndEachRestoreIsOneStep)
{
    const QString a = idOf(words("add group A"));
    const QString b = idOf(words("add group B"));
    idOf(words("add group C"));
    QStringList inA;
    for (int i = 0; i < 4; ++i)
        inA << idOf(words("add group a%1 --under %2", i, a));
    for (int i = 0; i < 3; ++i)
        idOf(words("add group b%1 --under %2", i, b));
    for (const QString &id : {inA[1], b, inA[2], a})
        EXPECT_EQ(idOf(words("delete %1", id)), id);
    EXPECT_EQ(titles(treeJson()), words("C"));

    // The trash lists each deleted subtree once, by title.
    auto trashByTitle = [this] {
        const CliRun r = run(words("trash list --json"));
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        QHash<QString, QJsonObject> entries;
        for (const auto &entry : QJsonDocument::fromJson(r.out.toUtf8()).array())
            entries.insert(entry.toObject().value(QStringLiteral("title")).toString(), entry.toObject());
        return entries;
    };
    const auto entries = trashByTitle();
    ASSERT_EQ(entries.keys().size(), 4);
    EXPECT_EQ(entries[QStringLiteral("A")].value(QStringLiteral("nodeCount")).toInt(), 3); // A, a0, a3
    const CliRun listed = run(words("trash list"));
    EXPECT_EQ(listed.out.count(QLatin1Char('\n')), 4);
    EXPECT_TRUE(listed.out.contains(entries[QStringLiteral("B")].value(QStringLiteral("id")).toString() +
                                    QStringLiteral("  ")));
    EXPECT_TRUE(listed.out.contains(QStringLiteral("  4 node(s)  B\n"))) << listed.out.toStdString();

    std::function<void(const QJsonArray &)> expectNumbered = [&](const QJsonArray &level) {
        for (qsizetype i = 0; i < level.size(); ++i) {
            EXPECT_EQ(nodeOf(level[i]).value(QStringLiteral("sortOrder")).toDouble(), double(i));
            expectNumbered(childrenOf(level[i]));
        }
    };
    QList<QJsonArray> states{treeJson()};
    // a2's parent is in the trash: it comes back at the top level.
    for (const auto &[title, node] : {std::pair{"a2", inA[2]}, std::pair{"A", a}, std::pair{"a1", inA[1]},
                                      std::pair{"B", b}}) {
        const QString entry = entries[QString::fromUtf8(title)].value(QStringLiteral("id")).toString();
        const CliRun r = run(words("trash restore %1", entry));
        ASSERT_EQ(r.exitCode, 0) << title << ": " << r.err.toStdString();
        EXPECT_EQ(r.out, node + QLatin1Char('\n')); // the restored subtree's top node
        states << treeJson();
        expectNumbered(states.last());
    }
    const QJsonArray &done = states.last();
    EXPECT_EQ(titles(done), (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C"),
                                         QStringLiteral("a2")}));
    EXPECT_EQ(titles(childrenOf(done[0])), words("a0 a1 a3"));
    EXPECT_EQ(nodeOf(childrenOf(done[0])[1]).value(QStringLiteral("id")).toString(), inA[1]);
    EXPECT_EQ(titles(childrenOf(done[1])), words("b0 b1 b2"));
    EXPECT_TRUE(trashByTitle().isEmpty());

    const QByteArray before = databaseBytes();
    const CliRun again = run(words("trash restore %1", entries[QStringLiteral("B")].value(QStringLiteral("id")).toString()));
    EXPECT_EQ(again.exitCode, 7);
    EXPECT_TRUE(again.err.contains(QStringLiteral("no longer in the trash"))) << again.err.toStdString();
    EXPECT_EQ(databaseBytes(), before);

    for (qsizetype i = states.size() - 1; i-- > 0;) {
        const CliRun r = run(words("undo"));
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(treeJson(), states[i]) << "undoing restore " << i;
    }
    EXPECT_EQ(trashByTitle().keys().size(), 4);
    for (qsizetype i = 1; i < states.size(); ++i) {
        ASSERT_EQ(run(words("redo")).exitCode, 0);
        EXPECT_EQ(treeJson(), states[i]) << "redoing restore " << i;
    }

    // Erase and empty touch the trash alone.
    for (const QString &id : {inA[1], b})
        idOf(words("delete %1", id));
    const QString erased = trashByTitle()[QStringLiteral("a1")].value(QStringLiteral("id")).toString();
    const QJsonArray kept = treeJson();
    for (const auto &[arguments, out] : {std::pair{words("trash erase %1", erased), "Erased 1 item(s)\n"},
                                         std::pair{words("trash erase %1", erased), "Erased 0 item(s)\n"},
                                         std::pair{words("trash empty"), "Erased 1 item(s)\n"},
                                         std::pair{words("trash empty"), "Erased 0 item(s)\n"}}) {
        const CliRun r = run(arguments);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, QString::fromUtf8(out)) << arguments.join(QLatin1Char(' ')).toStdString();
    }
    EXPECT_TRUE(trashByTitle().isEmpty());
    EXPECT_EQ(treeJson(), kept);
}

TEST_F(TarnibarCliTreeTest, BadRequestsAreRefusedAndChangeNothing)
{
    const QString a = idOf(words("add group A"));
    const QString child = idOf(words("add group child --under %1", a));
    const QString grandchild = idOf(words("add group grandchild --under %1", child));
    const QByteArray before = databaseBytes();
    const QString unknown = uuidQString(QUuid::createUuid());
    struct Case {
        QStringList arguments;
        int exitCode;
        const char *mentions;
    };
    const QList<Case> cases{
        {words("rename %1 x", unknown), 7, "no node"},
        {words("rename not-an-id x"), 2, "not a node identifier"},
        {words("move %1 --under %2", a, child), 7, "under itself"},
        {words("move %1 --under %1", a), 7, "under itself"},
        {words("move %1 --under %2", a, grandchild), 7, "under itself"},
        {words("move %1 --under %2", a, unknown), 7, "no node"},
        {words("move %1 --index two", a), 2, "whole number"},
        {words("move %1 --index -5", a), 2, "whole number"},
        {words("add group x --under %1", unknown), 7, "no node"},
        {words("add thing x"), 2, "usage"},
        {words("add group x --title t"), 2, "usage"},
        {words("delete"), 2, "usage"},
        {words("duplicate %1", unknown), 7, "no node"},
        {words("tree --bogus"), 2, "unknown option"},
        {words("export --node %1", unknown), 7, "no node"},
        {words("import") << root() + QStringLiteral("/absent.json"), 1, "absent.json\": no such file"},
        {words("import") << root() + QStringLiteral("/loop.json"), 1, "loop.json\": Too many levels of symbolic links"},
        // What the add dialogs refuse is refused here too.
        {words("add link javascript:alert(1)"), 2, "http"},
        {words("add link --") << QStringLiteral("--proxy-server=evil.example:1"), 2, "http"},
        {words("add slack https://evil.example/archives/C1/p1"), 2, "not a Slack address"},
        {words("add group") << QStringLiteral("  "), 2, "blank"},
    };
    ASSERT_TRUE(QFile::link(root() + QStringLiteral("/loop.json"), root() + QStringLiteral("/loop.json")));
    for (const Case &c : cases) {
        const CliRun r = run(c.arguments);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.mentions))) << r.err.toStdString();
    }
    EXPECT_EQ(databaseBytes(), before);

    // A data root that does not exist is refused, not created.
    QProcess process;
    process.start(QStringLiteral(TARNIBAR_CLI_PATH), words("--root %1/missing add group x", root()));
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 3);
    EXPECT_FALSE(QDir(root() + QStringLiteral("/missing")).exists());
}

TEST_F(TarnibarCliTreeTest, WritesAreRefusedWhileTheApplicationRuns)
{
    const QString a = idOf(words("add group A"));
    InstanceLock application;
    ASSERT_TRUE(application.tryAcquire(rootPath()));
    const QByteArray before = databaseBytes();
    const QList<QStringList> writes{words("add group B"), words("rename %1 x", a), words("move %1 --index 0", a),
                                    words("delete %1", a),  words("duplicate %1", a), words("collapse %1", a)};
    for (const QStringList &arguments : writes) {
        const CliRun r = run(arguments);
        EXPECT_EQ(r.exitCode, 8) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("TarniBar is running on \"%1\" (process %2)")
                                       .arg(root())
                                       .arg(QCoreApplication::applicationPid())))
            << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    const QString exported = root() + QStringLiteral("/doc.json");
    EXPECT_EQ(run(words("export -o") << exported).exitCode, 0); // reading is fine
    EXPECT_EQ(run(words("import") << exported).exitCode, 8);
    EXPECT_EQ(titles(treeJson()), words("A"));
    EXPECT_EQ(databaseBytes(), before);

    application.release();
    EXPECT_EQ(run(words("collapse %1", a)).exitCode, 0);
}

TEST_F(TarnibarCliTreeTest, AnotherCommandsEditIsWaitedFor)
{
    idOf(words("add group A"));
    InstanceLock other;
    ASSERT_TRUE(other.tryAcquire(rootPath(), nullptr, InstanceLock::Holder::commandLineTool));
    QProcess process;
    process.start(QStringLiteral(TARNIBAR_CLI_PATH), words("--root %1 add group B", root()));
    ASSERT_TRUE(process.waitForStarted());
    EXPECT_FALSE(process.waitForFinished(500));
    other.release();
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_EQ(titles(treeJson()), words("A B"));
}

TEST_F(TarnibarCliTreeTest, ControlAndBidiCharactersInTitlesAreShownAsEscapes)
{
    const QString hostile = QStringLiteral("a\x1b]0;owned\x07" "b\u202e" "c\u0085d");
    const QString shown = QStringLiteral("a\\x1b]0;owned\\x07b\\u202ec\\x85d");
    const QString a = idOf(words("add group plain"));
    idOf(words("rename %1", a) << hostile);
    EXPECT_EQ(titles(treeJson()), QStringList{hostile}); // JSON keeps the title as it is
    idOf(words("snapshot save --node %1", a));
    const QList<QStringList> printers{words("undo"), words("redo"), words("tree"), words("snapshot list"),
                                      words("delete %1", a), words("trash list")};
    for (const QStringList &arguments : printers) {
        const CliRun r = run(arguments);
        const std::string name = arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err.toStdString();
        EXPECT_EQ(r.out.contains(shown), arguments.first() != QLatin1String("delete")) << name << ": " << r.out.toStdString();
        for (const QChar raw : {QChar(0x1b), QChar(0x07), QChar(0x202e), QChar(0x85)})
            EXPECT_FALSE(r.out.contains(raw)) << name;
    }
}

TEST_F(TarnibarCliTreeTest, AnotherProgramsLockNamesNoTarniBarProcess)
{
    idOf(words("add group A"));
    // Another program holds the lock over records left by earlier holders;
    // process 1 is alive but holds nothing.
    const int fd = ::open((rootPath() / kInstanceLockName).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    for (const std::string record : {"application 1\n", "tarnibar-cli 1\n", "tarnibar-cli x\n"}) {
        ASSERT_EQ(::ftruncate(fd, 0), 0);
        ASSERT_EQ(::pwrite(fd, record.data(), record.size(), 0), ssize_t(record.size()));
        const auto holder = InstanceLock::currentHolder(rootPath());
        ASSERT_TRUE(holder) << record;
        EXPECT_EQ(holder->holder, InstanceLock::Holder::unknown) << record;
        EXPECT_EQ(holder->pid, 0) << record;
    }
    const CliRun blocked = run(words("add group B"));
    ::close(fd);
    EXPECT_EQ(blocked.exitCode, 5);
    EXPECT_TRUE(blocked.err.contains(QStringLiteral("locked by another process"))) << blocked.err.toStdString();
    EXPECT_FALSE(blocked.err.contains(QStringLiteral("tarnibar-cli command"))) << blocked.err.toStdString();

    // A record written by the holder names it.
    InstanceLock edit;
    ASSERT_TRUE(edit.tryAcquire(rootPath(), nullptr, InstanceLock::Holder::commandLineTool));
    const auto holder = InstanceLock::currentHolder(rootPath());
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->holder, InstanceLock::Holder::commandLineTool);
    EXPECT_EQ(holder->pid, QCoreApplication::applicationPid());
}

// Parent links that lead nowhere or round in a circle hide nodes from every
// tree; check finds them and repair brings them back under one group.
TEST_F(TarnibarCliTreeTest, UnreachableNodesAreReportedAndRecovered)
{
    idOf(words("add group Kept"));
    const QString a = idOf(words("add group A"));
    const QString b = idOf(words("add group B --under %1", a));
    idOf(words("add group BelowB --under %1", b));
    const QString orphan = idOf(words("add group Orphan"));
    idOf(words("add group BelowOrphan --under %1", orphan));
    const QString missing = uuidQString(QUuid::createUuid());
    {
        WorkspaceStore store(rootPath() / "workspace.sqlite");
        auto workspace = store.fetchOrCreateDefaultWorkspace();
        auto nodes = store.fetchNodes(workspace->id);
        ASSERT_TRUE(nodes);
        for (WorkspaceNode &node : *nodes) {
            if (uuidQString(node.id()) == a)
                node.setParentID(parseUuid(b));
            if (uuidQString(node.id()) == orphan)
                node.setParentID(parseUuid(missing));
        }
        ASSERT_TRUE(store.replaceNodes(*nodes, workspace->id));
    }
    EXPECT_EQ(titles(treeJson()), words("Kept"));

    const CliRun check = run(words("check"));
    EXPECT_EQ(check.exitCode, 1);
    for (const QString &expected :
         {QStringLiteral("5 node(s) of workspace"), QStringLiteral("missing parent %1 (2 node(s) below it)").arg(missing)})
        EXPECT_TRUE(check.err.contains(expected)) << check.err.toStdString();
    EXPECT_TRUE(check.err.contains(QStringLiteral("parent links form a cycle: %1 -> %2 -> %1").arg(a, b)) ||
                check.err.contains(QStringLiteral("parent links form a cycle: %2 -> %1 -> %2").arg(a, b)))
        << check.err.toStdString();

    const CliRun repair = run(words("repair"));
    ASSERT_EQ(repair.exitCode, 0) << repair.err.toStdString();
    EXPECT_TRUE(repair.out.startsWith(QStringLiteral("Moved 5 unreachable node(s) under \"Recovered\"")));
    const QJsonArray tree = treeJson();
    ASSERT_EQ(titles(tree), words("Kept Recovered"));
    EXPECT_EQ(childrenOf(tree[1]).size(), 2); // the orphan, and the cycle cut at one of its members
    EXPECT_EQ(run(words("tree")).out.count(QLatin1Char('\n')), 7); // all six, and "Recovered"
    EXPECT_EQ(run(words("check")).exitCode, 0);
    {
        WorkspaceStore store(rootPath() / "workspace.sqlite", WorkspaceStore::OpenMode::readOnly);
        auto snapshots = store.fetchSnapshots(store.fetchWorkspace().value()->id);
        ASSERT_TRUE(snapshots);
        ASSERT_EQ(snapshots->size(), 1);
        EXPECT_EQ(snapshots->first().rootNode.children.size(), 1u); // the tree as it showed before: "Kept"
    }
    EXPECT_TRUE(run(words("repair")).out.startsWith(QStringLiteral("Every node is reachable")));
}

TEST_F(TarnibarCliTreeTest, AFailedWriteLeavesNoNewDatabaseAndAnEmptyFileIsDamage)
{
    const QString database = root() + QStringLiteral("/workspace.sqlite");
    const CliRun failed = run(words("add group x --under %1", uuidQString(QUuid::createUuid())));
    EXPECT_EQ(failed.exitCode, 7);
    EXPECT_EQ(QDir(root()).entryList({QStringLiteral("workspace.sqlite*")}, QDir::Files), QStringList());

    // Zero bytes is what a cut-short copy leaves: never a new, empty workspace.
    QFile(database).open(QIODevice::WriteOnly);
    for (const QStringList &arguments : {words("check"), words("tree"), words("add group x")}) {
        const CliRun r = run(arguments);
        EXPECT_EQ(r.exitCode, 6) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("the file is empty (0 bytes)"))) << r.err.toStdString();
    }
    EXPECT_EQ(QFileInfo(database).size(), 0);
}

// The limit of manual snapshots is the user's, as the application reads it.
TEST_F(TarnibarCliTreeTest, AManualSnapshotBeyondTheUsersLimitTakesReplaceOldest)
{
    QTemporaryDir config;
    QSettings(config.filePath(QStringLiteral("TarniBar/TarniBar.ini")), QSettings::IniFormat)
        .setValue(QLatin1String(kManualSnapshotLimitSettingsKey), 1);
    auto cli = [&](const QStringList &arguments) {
        return runCli(QStringList{QStringLiteral("--root"), root()} + arguments,
                      {QStringLiteral("XDG_CONFIG_HOME=") + config.path()});
    };
    ASSERT_EQ(cli(words("add group A")).exitCode, 0);
    ASSERT_EQ(cli(words("snapshot save --title first")).exitCode, 0);
    const CliRun refused = cli(words("snapshot save --title second"));
    EXPECT_EQ(refused.exitCode, 7);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("\"first\"")) && refused.err.contains(QStringLiteral("--replace-oldest")))
        << refused.err.toStdString();
    EXPECT_EQ(cli(words("snapshot list --replace-oldest")).exitCode, 2);
    ASSERT_EQ(cli(words("snapshot save --replace-oldest --title second")).exitCode, 0);
    const QJsonArray heads = QJsonDocument::fromJson(cli(words("snapshot list --json")).out.toUtf8()).array();
    ASSERT_EQ(heads.size(), 1);
    EXPECT_EQ(heads[0].toObject().value(QStringLiteral("title")), QStringLiteral("second"));
}

TEST_F(TarnibarCliTreeTest, SnapshotsAreSavedListedAndRestored)
{
    const QString a = idOf(words("add group A"));
    idOf(words("add group inner --under %1", a));
    const QString whole = idOf(words("snapshot save"));
    const QString subtree = idOf(words("snapshot save --node %1 --title", a) << QStringLiteral("Only A"));
    idOf(words("delete %1", a));

    const CliRun listed = run(words("snapshot list --json"));
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    const QJsonArray heads = QJsonDocument::fromJson(listed.out.toUtf8()).array();
    ASSERT_EQ(heads.size(), 2);
    EXPECT_EQ(heads[0].toObject().value(QStringLiteral("title")), QStringLiteral("Only A"));
    EXPECT_EQ(heads[0].toObject().value(QStringLiteral("rootNode")).toObject().value(QStringLiteral("children")),
              QJsonArray());
    EXPECT_TRUE(run(words("snapshot list")).out.contains(QStringLiteral("Only A (2 node(s))")));
    // The one asked for, whole, though another is newer.
    const CliRun shown = run(words("snapshot show %1", whole));
    ASSERT_EQ(shown.exitCode, 0) << shown.err.toStdString();
    const QJsonObject body = QJsonDocument::fromJson(shown.out.toUtf8()).object();
    EXPECT_EQ(body.value(QStringLiteral("id")).toString(), whole);
    EXPECT_EQ(titles(childrenOf(body.value(QStringLiteral("rootNode")))), words("A"));

    const CliRun restored = run(words("snapshot restore %1", whole));
    ASSERT_EQ(restored.exitCode, 0) << restored.err.toStdString();
    EXPECT_TRUE(restored.out.contains(QStringLiteral("The tree as it was is kept as snapshot")));
    EXPECT_EQ(run(words("snapshot restore %1 --under %2", subtree, nodeOf(treeJson()[0]).value(QStringLiteral("id")).toString()))
                  .exitCode,
              0);
    const QJsonArray tree = treeJson();
    EXPECT_EQ(titles(tree), words("A"));
    EXPECT_EQ(titles(childrenOf(tree[0])), words("inner A"));
    EXPECT_EQ(run(words("snapshot show %1", uuidQString(QUuid::createUuid()))).exitCode, 7);

    // A subtree goes after the last sibling, numbered on, in one step.
    idOf(words("add group B"));
    const QJsonArray before = treeJson();
    ASSERT_EQ(run(words("snapshot restore %1", subtree)).exitCode, 0);
    const QJsonArray after = treeJson();
    EXPECT_EQ(titles(after), words("A B A"));
    for (const QJsonArray &level : {after, childrenOf(after[0])}) {
        for (qsizetype i = 0; i < level.size(); ++i)
            EXPECT_EQ(nodeOf(level[i]).value(QStringLiteral("sortOrder")).toDouble(), double(i));
    }
    ASSERT_EQ(run(words("undo")).exitCode, 0);
    EXPECT_EQ(treeJson(), before);
}

TEST_F(TarnibarCliTreeTest, ASnapshotFromANewerVersionBreaksNoOtherSnapshotCommand)
{
    idOf(words("add group A"));
    const QString good = idOf(words("snapshot save"));
    const QString newer = uuidQString(QUuid::createUuid());
    {
        // Stored as one text, as every version before this one stored snapshots.
        const CliRun shown = run(words("snapshot show %1", good));
        ASSERT_EQ(shown.exitCode, 0) << shown.err.toStdString();
        QJsonObject text = QJsonDocument::fromJson(shown.out.toUtf8()).object();
        ASSERT_FALSE(text.isEmpty()) << shown.out.toStdString();
        text[QStringLiteral("schemaVersion")] = 2;
        const std::string payload = QString::fromUtf8(QJsonDocument(text).toJson(QJsonDocument::Compact))
                                        .replace(QStringLiteral("\"kind\":\"group\""), QStringLiteral("\"kind\":\"whiteboard\""))
                                        .replace(QLatin1Char('\''), QStringLiteral("''"))
                                        .toStdString();
        RawDatabase raw(rootPath() / "workspace.sqlite");
        raw.exec("INSERT INTO snapshots SELECT '" + newer.toStdString() + "', workspace_id, '2020-01-01T00:00:00Z', '" +
                 payload + "' FROM snapshots WHERE id = '" + good.toStdString() + "'");
    }

    const CliRun listed = run(words("snapshot list"));
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    EXPECT_TRUE(listed.out.contains(QStringLiteral("%1  2020-01-01T00:00:00Z  Workspace Snapshot (made by a newer "
                                                   "version of TarniBar (schema 2)")
                                        .arg(newer)))
        << listed.out.toStdString();
    const CliRun json = run(words("snapshot list --json"));
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(json.out.toUtf8()).array().size(), 2);

    for (const char *verb : {"show", "restore"}) {
        const CliRun refused = run(words("snapshot %1 %2", QString::fromLatin1(verb), newer));
        EXPECT_NE(refused.exitCode, 0) << verb;
        EXPECT_TRUE(refused.err.contains(QStringLiteral("newer version of TarniBar (schema 2)"))) << refused.err.toStdString();
    }
    const CliRun restored = run(words("snapshot restore %1", good));
    EXPECT_EQ(restored.exitCode, 0) << restored.err.toStdString();
}

TEST_F(TarnibarCliTreeTest, ExportAndImportRoundTrip)
{
    const QString a = idOf(words("add group A"));
    const QString link = idOf(words("add link https://a.example --under %1", a));
    idOf(words("add group B"));

    const CliRun whole = run(words("export"));
    ASSERT_EQ(whole.exitCode, 0);
    EXPECT_TRUE(whole.out.startsWith(QStringLiteral("{\n  \"app\": \"TarniBar\",\n")));
    // The compact form holds the same document on one line.
    const CliRun compact = run(words("export --compact"));
    ASSERT_EQ(compact.exitCode, 0) << compact.err.toStdString();
    EXPECT_TRUE(compact.out.startsWith(QStringLiteral("{\"app\":\"TarniBar\",")));
    EXPECT_EQ(compact.out.indexOf(QLatin1Char('\n')), compact.out.size() - 1);
    // Entries get fresh identifiers in every export; the nodes stay.
    auto topNodes = [](const QString &text) {
        QJsonArray nodes;
        const QJsonObject root = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("rootNode")).toObject();
        for (const auto &entry : root.value(QStringLiteral("children")).toArray())
            nodes.append(entry.toObject().value(QStringLiteral("node")));
        return nodes;
    };
    EXPECT_EQ(topNodes(compact.out).size(), 2);
    EXPECT_EQ(topNodes(compact.out), topNodes(whole.out));
    const CliRun notOurs = run(words("export --compact --format bookmarks"));
    EXPECT_EQ(notOurs.exitCode, 2);
    EXPECT_EQ(notOurs.err, QStringLiteral("tarnibar-cli: --compact applies to the tarnibar format only\n"));

    const QString file = root() + QStringLiteral("/Exports/sub.json");
    const CliRun written = run(words("export --node %1 -o", a) << file);
    ASSERT_EQ(written.exitCode, 0) << written.err.toStdString();
    EXPECT_EQ(written.out, QStringLiteral("Exported sub.json\n"));

    const CliRun imported = run(words("import") << file << QStringLiteral("--under") << a);
    ASSERT_EQ(imported.exitCode, 0) << imported.err.toStdString();
    EXPECT_EQ(imported.out, QStringLiteral("Imported 2 node(s)\n"));
    const QJsonArray underA = childrenOf(treeJson()[0]);
    ASSERT_EQ(titles(underA), words("a.example A"));
    EXPECT_NE(nodeOf(underA[1]).value(QStringLiteral("id")).toString(), a);
    const QJsonArray copyChildren = childrenOf(underA[1]);
    ASSERT_EQ(copyChildren.size(), 1);
    EXPECT_NE(nodeOf(copyChildren[0]).value(QStringLiteral("id")).toString(), link);
    // After the last of several siblings, numbered on.
    ASSERT_EQ(run(words("import") << file).exitCode, 0);
    const QJsonArray top = treeJson();
    ASSERT_EQ(titles(top), words("A B A"));
    for (qsizetype i = 0; i < top.size(); ++i)
        EXPECT_EQ(nodeOf(top[i]).value(QStringLiteral("sortOrder")).toDouble(), double(i));
    ASSERT_EQ(run(words("undo")).exitCode, 0);

    // A file that does not decode changes nothing.
    QFile bad(root() + QStringLiteral("/bad.json"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("{\"app\": \"TarniBar\", \"rootNode\": ");
    bad.close();
    const QByteArray before = databaseBytes();
    const CliRun refused = run(words("import") << bad.fileName());
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("is not a JSON document: invalid at byte 32")))
        << refused.err.toStdString();
    EXPECT_EQ(databaseBytes(), before);

    // A large import takes the same automatic snapshot as in the window.
    QFile many(root() + QStringLiteral("/many.txt"));
    ASSERT_TRUE(many.open(QIODevice::WriteOnly));
    for (int i = 0; i < 150; ++i)
        many.write(QStringLiteral("https://n%1.example/\n").arg(i).toUtf8());
    many.write("javascript:alert(1)\n");
    many.close();
    const CliRun large = run(words("import --format text") << many.fileName());
    ASSERT_EQ(large.exitCode, 0) << large.err.toStdString();
    EXPECT_EQ(large.out, QStringLiteral("Imported 151 node(s): 0 group(s), 150 link(s); 1 items were not imported: "
                                        "not a web address\n"));
    EXPECT_TRUE(run(words("snapshot list")).out.contains(QStringLiteral("Before import")));

    // That snapshot holds the whole tree, however little of it an import
    // below one node otherwise reads.
    std::function<qsizetype(const QJsonArray &)> count = [&](const QJsonArray &level) {
        qsizetype total = level.size();
        for (const auto &entry : level)
            total += count(childrenOf(entry));
        return total;
    };
    const qsizetype treeSize = count(treeJson());
    const QString all = root() + QStringLiteral("/all.json");
    ASSERT_EQ(run(words("export --compact -o") << all).exitCode, 0);
    ASSERT_EQ(run(words("import") << all << QStringLiteral("--under") << a).exitCode, 0);
    const QString newest = run(words("snapshot list")).out.section(QLatin1Char('\n'), 0, 0);
    EXPECT_TRUE(newest.contains(QStringLiteral("Before import"))) << newest.toStdString();
    EXPECT_TRUE(newest.endsWith(QStringLiteral("(%1 node(s))").arg(treeSize))) << newest.toStdString();
}

// 100,000 nested nodes through every command that walks the tree.
TEST_F(TarnibarCliTreeTest, AChainOfOneHundredThousandNodes)
{
    constexpr int kDepth = 100'000;
    {
        WorkspaceStore store(rootPath() / "workspace.sqlite");
        auto workspace = store.fetchOrCreateDefaultWorkspace();
        ASSERT_TRUE(workspace);
        ASSERT_TRUE(store.replaceNodes(groupChain(kDepth, workspace->id), workspace->id));
    }
    const CliRun plain = run(words("tree --search") << QStringLiteral("level 99999"), 120000);
    ASSERT_EQ(plain.exitCode, 0) << plain.err.toStdString();
    const QStringList lines = plain.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kDepth);
    EXPECT_TRUE(lines.last().startsWith(QString(64, QLatin1Char(' ')) + QStringLiteral("(depth 99999) - level 99999")))
        << lines.last().toStdString();

    const CliRun json = run(words("tree --json"), 120000);
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    EXPECT_TRUE(json.out.startsWith(QStringLiteral("[{\"children\":[{\"children\":[")));
    EXPECT_EQ(json.out.count(QStringLiteral("\"children\":[")), kDepth);

    // The export is written whole; importing it back is refused below the
    // import limit, and adds nothing.
    const QString file = root() + QStringLiteral("/chain.json");
    ASSERT_EQ(run(words("export -o") << file, 120000).exitCode, 0);
    const CliRun imported = run(words("import") << file, 120000);
    EXPECT_EQ(imported.exitCode, 1);
    EXPECT_TRUE(imported.err.contains(QStringLiteral("deeper than %1 levels").arg(kMaxImportDepth)))
        << imported.err.toStdString();
    const CliRun after = run(words("tree --json"), 120000);
    EXPECT_EQ(after.out.count(QStringLiteral("\"children\":[")), kDepth);
}

} // namespace

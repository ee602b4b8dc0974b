// The tree commands of tarnibar-cli, run as a separate process against a real
// database in a temporary data root.

#include "common/InstanceLock.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

using namespace tarni;

namespace {

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

class TarnibarCliTreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString root() const { return dir.path(); }
    std::filesystem::path rootPath() const { return std::filesystem::path(root().toStdString()); }

    CliRun run(QStringList arguments, int timeoutMs = 60000) const
    {
        arguments.prepend(root());
        arguments.prepend(QStringLiteral("--root"));
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("TARNI_UITEST_ROOT"));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(TARNIBAR_CLI_PATH), arguments);
        EXPECT_TRUE(process.waitForFinished(timeoutMs));
        CliRun result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
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
        const CliRun r = run(QStringList{QStringLiteral("tree"), QStringLiteral("--json")} + extra);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out.count(QLatin1Char('\n')), 1);
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }

    static QStringList titles(const QJsonArray &entries)
    {
        QStringList list;
        for (const auto &entry : entries)
            list << entry.toObject().value(QStringLiteral("node")).toObject().value(QStringLiteral("title")).toString();
        return list;
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
    const QString work = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("Work")});
    idOf({QStringLiteral("add"), QStringLiteral("link"), QStringLiteral("https://docs.example.org/guide"),
          QStringLiteral("--under"), work});
    idOf({QStringLiteral("add"), QStringLiteral("link"), QStringLiteral("https://x.example"), QStringLiteral("--title"),
          QStringLiteral("-dash title"), QStringLiteral("--under"), work});
    idOf({QStringLiteral("add"), QStringLiteral("slack"),
          QStringLiteral("https://acme.slack.com/archives/C42/p1712345678123456"), QStringLiteral("--under"), work});
    QDir(root()).mkpath(QStringLiteral("Docs"));
    idOf({QStringLiteral("add"), QStringLiteral("folder"), root() + QStringLiteral("/Docs/")});
    idOf({QStringLiteral("add"), QStringLiteral("file"), root() + QStringLiteral("/Docs/../plan.txt")});
    idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("--"), QStringLiteral("-leading")});
    idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("two\nlines")});

    const QJsonArray top = treeJson();
    EXPECT_EQ(titles(top), (QStringList{QStringLiteral("Work"), QStringLiteral("Docs"), QStringLiteral("plan.txt"),
                                        QStringLiteral("-leading"), QStringLiteral("two\nlines")}));
    const QJsonArray children = top[0].toObject().value(QStringLiteral("children")).toArray();
    EXPECT_EQ(titles(children), (QStringList{QStringLiteral("docs.example.org"), QStringLiteral("-dash title"),
                                             QStringLiteral("C42")}));
    const QJsonObject file = top[2].toObject().value(QStringLiteral("node")).toObject();
    EXPECT_EQ(file.value(QStringLiteral("payload")).toObject().value(QStringLiteral("file")).toObject()
                  .value(QStringLiteral("path")).toString(),
              QDir::cleanPath(root() + QStringLiteral("/plan.txt")));

    const CliRun plain = run({QStringLiteral("tree")});
    ASSERT_EQ(plain.exitCode, 0);
    const QStringList lines = plain.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 8); // a title's line break does not break the line
    EXPECT_TRUE(lines[7].startsWith(QStringLiteral("- two lines  [group ")));
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("- Work  [group ") + work)) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("  - docs.example.org \u2014 https://docs.example.org/guide")));

    const QJsonArray found = treeJson({QStringLiteral("--search"), QStringLiteral("GUIDE")});
    EXPECT_EQ(titles(found), (QStringList{QStringLiteral("Work")}));
    EXPECT_EQ(titles(found[0].toObject().value(QStringLiteral("children")).toArray()),
              (QStringList{QStringLiteral("docs.example.org")}));
}

TEST_F(TarnibarCliTreeTest, EditsPrintTheAffectedNode)
{
    const QString a = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("A")});
    const QString b = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("B")});
    const QString c = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("C")});
    const QString inner = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("inner"),
                                QStringLiteral("--under"), a});

    EXPECT_EQ(idOf({QStringLiteral("move"), a, QStringLiteral("--index"), QStringLiteral("1")}), a);
    EXPECT_EQ(titles(treeJson()), (QStringList{QStringLiteral("B"), QStringLiteral("A"), QStringLiteral("C")}));
    EXPECT_EQ(idOf({QStringLiteral("move"), c, QStringLiteral("--under"), b}), c);
    EXPECT_EQ(idOf({QStringLiteral("rename"), b, QStringLiteral("  Bee ")}), b);
    EXPECT_EQ(idOf({QStringLiteral("collapse"), b}), b);
    QJsonArray tree = treeJson();
    EXPECT_EQ(titles(tree), (QStringList{QStringLiteral("  Bee "), QStringLiteral("A")}));
    EXPECT_TRUE(tree[0].toObject().value(QStringLiteral("node")).toObject().value(QStringLiteral("isCollapsed")).toBool());
    EXPECT_TRUE(run({QStringLiteral("tree")}).out.startsWith(QStringLiteral("+   Bee ")));

    const QString copy = idOf({QStringLiteral("duplicate"), a});
    EXPECT_NE(copy, a);
    tree = treeJson();
    EXPECT_EQ(titles(tree), (QStringList{QStringLiteral("  Bee "), QStringLiteral("A"), QStringLiteral("A")}));
    EXPECT_EQ(tree[2].toObject().value(QStringLiteral("node")).toObject().value(QStringLiteral("id")).toString(), copy);
    EXPECT_EQ(titles(tree[2].toObject().value(QStringLiteral("children")).toArray()),
              (QStringList{QStringLiteral("inner")}));

    EXPECT_EQ(idOf({QStringLiteral("delete"), a}), a);
    EXPECT_EQ(titles(treeJson()), (QStringList{QStringLiteral("  Bee "), QStringLiteral("A")}));
    EXPECT_EQ(run({QStringLiteral("rename"), inner, QStringLiteral("gone")}).exitCode, 7); // deleted with A
}

TEST_F(TarnibarCliTreeTest, BadRequestsAreRefusedAndChangeNothing)
{
    const QString a = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("A")});
    const QString child = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("child"),
                                QStringLiteral("--under"), a});
    const QByteArray before = databaseBytes();
    const QString unknown = uuidQString(QUuid::createUuid());
    struct Case {
        QStringList arguments;
        int exitCode;
        const char *mentions;
    };
    const QList<Case> cases{
        {{QStringLiteral("rename"), unknown, QStringLiteral("x")}, 7, "no node"},
        {{QStringLiteral("rename"), QStringLiteral("not-an-id"), QStringLiteral("x")}, 2, "not a node identifier"},
        {{QStringLiteral("move"), a, QStringLiteral("--under"), child}, 7, "under itself"},
        {{QStringLiteral("move"), a, QStringLiteral("--under"), a}, 7, "under itself"},
        {{QStringLiteral("move"), a, QStringLiteral("--index"), QStringLiteral("two")}, 2, "whole number"},
        {{QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("x"), QStringLiteral("--under"), unknown}, 7,
         "no node"},
        {{QStringLiteral("add"), QStringLiteral("thing"), QStringLiteral("x")}, 2, "usage"},
        {{QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("x"), QStringLiteral("--title"),
          QStringLiteral("t")},
         2, "usage"},
        {{QStringLiteral("delete")}, 2, "usage"},
        {{QStringLiteral("collapse"), unknown}, 7, "no node"},
        {{QStringLiteral("duplicate"), unknown}, 7, "no node"},
        {{QStringLiteral("tree"), QStringLiteral("--bogus")}, 2, "unknown option"},
        {{QStringLiteral("export"), QStringLiteral("--node"), unknown}, 7, "no node"},
        {{QStringLiteral("import"), root() + QStringLiteral("/absent.json")}, 1, "absent.json"},
    };
    for (const Case &c : cases) {
        const CliRun r = run(c.arguments);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.mentions))) << r.err.toStdString();
    }
    EXPECT_EQ(databaseBytes(), before);

    const CliRun noRoot = run({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("x")});
    EXPECT_EQ(noRoot.exitCode, 0); // sanity: the root above works
    QProcess process;
    process.start(QStringLiteral(TARNIBAR_CLI_PATH), {QStringLiteral("--root"), root() + QStringLiteral("/missing"),
                                                      QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("x")});
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_EQ(process.exitCode(), 3);
    EXPECT_FALSE(QDir(root() + QStringLiteral("/missing")).exists());
}

TEST_F(TarnibarCliTreeTest, WritesAreRefusedWhileTheApplicationRuns)
{
    const QString a = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("A")});
    InstanceLock application;
    ASSERT_TRUE(application.tryAcquire(rootPath()));
    const QByteArray before = databaseBytes();
    const QList<QStringList> writes{
        {QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("B")},
        {QStringLiteral("rename"), a, QStringLiteral("x")},
        {QStringLiteral("move"), a, QStringLiteral("--index"), QStringLiteral("0")},
        {QStringLiteral("delete"), a},
        {QStringLiteral("duplicate"), a},
        {QStringLiteral("collapse"), a},
    };
    for (const QStringList &arguments : writes) {
        const CliRun r = run(arguments);
        EXPECT_EQ(r.exitCode, 8) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("TarniBar is running"))) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    const QString exported = root() + QStringLiteral("/doc.json");
    EXPECT_EQ(run({QStringLiteral("export"), QStringLiteral("-o"), exported}).exitCode, 0); // reading is fine
    EXPECT_EQ(run({QStringLiteral("import"), exported}).exitCode, 8);
    EXPECT_EQ(titles(treeJson()), (QStringList{QStringLiteral("A")}));
    EXPECT_EQ(databaseBytes(), before);

    application.release();
    EXPECT_EQ(run({QStringLiteral("collapse"), a}).exitCode, 0);
}

TEST_F(TarnibarCliTreeTest, ExportAndImportRoundTrip)
{
    const QString a = idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("A")});
    const QString link = idOf({QStringLiteral("add"), QStringLiteral("link"), QStringLiteral("https://a.example"),
                               QStringLiteral("--under"), a});
    idOf({QStringLiteral("add"), QStringLiteral("group"), QStringLiteral("B")});

    const CliRun whole = run({QStringLiteral("export")});
    ASSERT_EQ(whole.exitCode, 0);
    const QJsonObject document = QJsonDocument::fromJson(whole.out.toUtf8()).object();
    EXPECT_EQ(document.value(QStringLiteral("app")).toString(), QStringLiteral("TarniBar"));
    EXPECT_EQ(document.keys(), (QStringList{QStringLiteral("app"), QStringLiteral("exportedAt"),
                                            QStringLiteral("rootNode"), QStringLiteral("schemaVersion")}));
    EXPECT_TRUE(whole.out.startsWith(QStringLiteral("{\n  \"app\": \"TarniBar\",\n")));

    const QString file = root() + QStringLiteral("/Exports/sub.json");
    const CliRun written = run({QStringLiteral("export"), QStringLiteral("--node"), a, QStringLiteral("-o"), file});
    ASSERT_EQ(written.exitCode, 0) << written.err.toStdString();
    EXPECT_EQ(written.out, QStringLiteral("Exported sub.json\n"));

    const CliRun imported = run({QStringLiteral("import"), file, QStringLiteral("--under"), a});
    ASSERT_EQ(imported.exitCode, 0) << imported.err.toStdString();
    EXPECT_EQ(imported.out, QStringLiteral("Imported 2 node(s)\n"));
    QJsonArray tree = treeJson();
    const QJsonArray underA = tree[0].toObject().value(QStringLiteral("children")).toArray();
    ASSERT_EQ(titles(underA), (QStringList{QStringLiteral("a.example"), QStringLiteral("A")}));
    const QJsonObject copy = underA[1].toObject();
    EXPECT_NE(copy.value(QStringLiteral("node")).toObject().value(QStringLiteral("id")).toString(), a);
    const QJsonArray copyChildren = copy.value(QStringLiteral("children")).toArray();
    ASSERT_EQ(copyChildren.size(), 1);
    EXPECT_NE(copyChildren[0].toObject().value(QStringLiteral("node")).toObject().value(QStringLiteral("id")).toString(),
              link);

    // A whole-workspace document goes in after the present top level.
    const QString wholeFile = root() + QStringLiteral("/whole.json");
    ASSERT_EQ(run({QStringLiteral("export"), QStringLiteral("-o"), wholeFile}).exitCode, 0);
    EXPECT_EQ(run({QStringLiteral("import"), wholeFile}).out, QStringLiteral("Imported 5 node(s)\n"));
    EXPECT_EQ(titles(treeJson()),
              (QStringList{QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("A"), QStringLiteral("B")}));

    // A file that does not decode changes nothing.
    QFile bad(root() + QStringLiteral("/bad.json"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("{\"app\": \"TarniBar\", \"rootNode\": ");
    bad.close();
    const QByteArray before = databaseBytes();
    const CliRun refused = run({QStringLiteral("import"), bad.fileName()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("not an export document"))) << refused.err.toStdString();
    EXPECT_EQ(databaseBytes(), before);
}

// 100,000 nested nodes through every command that walks the tree.
TEST_F(TarnibarCliTreeTest, AChainOfOneHundredThousandNodes)
{
    constexpr int kDepth = 100'000;
    {
        WorkspaceStore store(rootPath() / "workspace.sqlite");
        auto workspace = store.fetchOrCreateDefaultWorkspace();
        ASSERT_TRUE(workspace);
        NodeList chain;
        chain.reserve(kDepth);
        std::optional<QUuid> parent;
        const Timestamp now = currentTimestamp();
        for (int i = 0; i < kDepth; ++i) {
            chain.append(WorkspaceNode(QUuid::createUuid(), workspace->id, parent, WorkspaceNodeKind::group,
                                       QStringLiteral("level %1").arg(i), std::nullopt, 0, false, std::nullopt, now, now,
                                       std::nullopt, NodePayload::group()));
            parent = chain.last().id();
        }
        ASSERT_TRUE(store.replaceNodes(chain, workspace->id));
    }
    const CliRun plain = run({QStringLiteral("tree"), QStringLiteral("--search"), QStringLiteral("level 99999")}, 120000);
    ASSERT_EQ(plain.exitCode, 0) << plain.err.toStdString();
    const QStringList lines = plain.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), kDepth);
    EXPECT_TRUE(lines.last().startsWith(QString(64, QLatin1Char(' ')) + QStringLiteral("(depth 99999) - level 99999")))
        << lines.last().toStdString();

    const CliRun json = run({QStringLiteral("tree"), QStringLiteral("--json")}, 120000);
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    EXPECT_TRUE(json.out.startsWith(QStringLiteral("[{\"children\":[{\"children\":[")));
    EXPECT_EQ(json.out.count(QStringLiteral("\"children\":[")), kDepth);

    const QString file = root() + QStringLiteral("/chain.json");
    ASSERT_EQ(run({QStringLiteral("export"), QStringLiteral("-o"), file}, 120000).exitCode, 0);
    const CliRun imported = run({QStringLiteral("import"), file}, 120000);
    ASSERT_EQ(imported.exitCode, 0) << imported.err.toStdString();
    EXPECT_EQ(imported.out, QStringLiteral("Imported 100000 node(s)\n"));
    const CliRun top = run({QStringLiteral("tree"), QStringLiteral("--search"), QStringLiteral("level 0 ")}, 120000);
    EXPECT_EQ(top.exitCode, 0);
}

} // namespace

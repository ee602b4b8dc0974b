#include "RawDatabase.h"
#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QTemporaryDir>

#include <fstream>
#include <optional>
#include <random>

using namespace tarni;
using namespace std::chrono;
using tarni::testing::RawDatabase;

namespace {

const Timestamp kT0 = sys_days{year{2024} / March / 1} + hours{9};

class WorkspaceStoreTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::filesystem::path path() const { return std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite"; }

    QUuid workspace = newUuid();

    WorkspaceNode node(const QString &title, std::optional<QUuid> parent = std::nullopt, double sortOrder = 0,
                       Timestamp created = kT0)
    {
        return WorkspaceNode(newUuid(), workspace, parent, WorkspaceNodeKind::webLink, title, std::nullopt,
                             sortOrder, false, std::nullopt, created, created, std::nullopt,
                             NodePayload::webLink(WebLinkTarget{QStringLiteral("https://x/") + title, std::nullopt}));
    }

    // A small tree: three groups with children, sort orders and ties mixed.
    NodeList sampleTree()
    {
        NodeList nodes;
        for (int g = 0; g < 3; ++g) {
            WorkspaceNode group = node(QStringLiteral("g%1").arg(g), std::nullopt, 2 - g);
            nodes << group;
            for (int c = 0; c < 4; ++c)
                nodes << node(QStringLiteral("g%1c%2").arg(g).arg(c), group.id(), c % 2, kT0 + seconds{10 - c});
        }
        return nodes;
    }

    static std::vector<std::string> nodeRows(RawDatabase &raw)
    {
        return raw.rows("SELECT id, workspace_id, parent_id, kind, title, subtitle, sort_order, is_collapsed, "
                        "icon_key, created_at, updated_at, last_opened_at, payload_json FROM nodes ORDER BY id");
    }
};

} // namespace

TEST_F(WorkspaceStoreTest, FreshDatabaseCreatesExactlyOneDefaultWorkspace)
{
    WorkspaceStore store(path());
    auto first = store.fetchOrCreateDefaultWorkspace();
    ASSERT_TRUE(first.ok()) << first.error().description().toStdString();
    EXPECT_EQ(first->title, QStringLiteral("Workspace"));
    auto second = store.fetchOrCreateDefaultWorkspace();
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(*second, *first);

    WorkspaceStore reopened(path());
    EXPECT_EQ(*reopened.fetchOrCreateDefaultWorkspace(), *first);

    RawDatabase raw(path());
    EXPECT_EQ(raw.value("SELECT count(*) FROM workspaces"), "1");
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.value("SELECT id, title FROM workspaces"), uuidText(first->id) + "|Workspace");
}

TEST_F(WorkspaceStoreTest, ColumnsHoldThePlainFormsAndPayloadHoldsTheWholeRecord)
{
    WorkspaceStore store(path());
    WorkspaceNode top = node(QStringLiteral("top"), std::nullopt, 1.5);
    WorkspaceNode child = node(QStringLiteral("child"), top.id());
    child.setIsCollapsed(true);
    child.setIconKey(QStringLiteral("star"));
    child.setLastOpenedAt(kT0 + hours{3});
    child.setSubtitle(std::nullopt);
    ASSERT_TRUE(store.replaceNodes({top, child}, workspace).ok());

    RawDatabase raw(path());
    const auto topRow = raw.rows("SELECT id, workspace_id, parent_id, kind, title, subtitle, sort_order, "
                                 "is_collapsed, icon_key, created_at, updated_at, last_opened_at FROM nodes WHERE id = '" +
                                 uuidText(top.id()) + "'");
    ASSERT_EQ(topRow.size(), 1u);
    EXPECT_EQ(topRow[0], uuidText(top.id()) + "|" + uuidText(workspace) +
                             "|<null>|webLink|top|https://x/top|1.5|0|<null>|2024-03-01T09:00:00Z|"
                             "2024-03-01T09:00:00Z|<null>");
    const auto childRow = raw.value("SELECT parent_id, subtitle, is_collapsed, icon_key, last_opened_at, "
                                    "typeof(sort_order), typeof(is_collapsed) FROM nodes WHERE id = '" +
                                    uuidText(child.id()) + "'");
    EXPECT_EQ(childRow, uuidText(top.id()) + "|<null>|1|star|2024-03-01T12:00:00Z|real|integer");

    const std::string json = raw.value("SELECT payload_json FROM nodes WHERE id = '" + uuidText(child.id()) + "'");
    auto decoded = json::decodeWorkspaceNode(json);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, child);
}

TEST_F(WorkspaceStoreTest, LoadOrderIsTopLevelFirstThenByParentSortOrderAndAge)
{
    WorkspaceStore store(path());
    NodeList nodes = sampleTree();
    std::shuffle(nodes.begin(), nodes.end(), std::mt19937(7));
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());

    auto loaded = WorkspaceStore(path()).fetchNodes(workspace);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    ASSERT_EQ(loaded->size(), nodes.size());

    EXPECT_EQ((*loaded)[0].title(), QStringLiteral("g2")); // sort order 0 among the groups
    EXPECT_FALSE((*loaded)[2].parentID().has_value());
    EXPECT_TRUE((*loaded)[3].parentID().has_value());
    // Each parent's children together, parents in the order of their identifier text.
    for (qsizetype i = 4; i < loaded->size(); ++i) {
        const auto previous = (*loaded)[i - 1].parentID(), parent = (*loaded)[i].parentID();
        if (parent != previous) {
            EXPECT_LT(uuidText(*previous), uuidText(*parent));
        }
    }
    // Equal sort orders: the older node first (c1 and c3 share sort order 1; c3 is older).
    QStringList children;
    for (const auto &n : *loaded) {
        if (n.parentID() == (*loaded)[0].id())
            children << n.title();
    }
    EXPECT_EQ(children, (QStringList{QStringLiteral("g2c2"), QStringLiteral("g2c0"), QStringLiteral("g2c3"),
                                      QStringLiteral("g2c1")}));
}

TEST_F(WorkspaceStoreTest, ReplaceLeavesExactlyTheGivenListAndOtherWorkspacesAlone)
{
    WorkspaceStore store(path());
    const QUuid other = newUuid();
    WorkspaceNode foreign = node(QStringLiteral("foreign"));
    foreign.setWorkspaceID(other);
    ASSERT_TRUE(store.replaceNodes({foreign}, other).ok());
    ASSERT_TRUE(store.replaceNodes(sampleTree(), workspace).ok());
    ASSERT_TRUE(store.replaceNodes({}, workspace).ok());

    RawDatabase raw(path());
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes"), "1");
    EXPECT_EQ(raw.value("SELECT title FROM nodes"), "foreign");
    EXPECT_EQ(store.fetchNodes(workspace)->size(), 0);
}

TEST_F(WorkspaceStoreTest, AFailureHalfWayLeavesTheOldListIntact)
{
    WorkspaceStore store(path());
    const NodeList before = sampleTree();
    ASSERT_TRUE(store.replaceNodes(before, workspace).ok());
    RawDatabase raw(path());

    // An id that another workspace already uses fails its INSERT on the key.
    const QUuid other = newUuid();
    WorkspaceNode foreign = node(QStringLiteral("foreign"));
    foreign.setWorkspaceID(other);
    ASSERT_TRUE(store.replaceNodes({foreign}, other).ok());
    const auto allBefore = nodeRows(raw);

    NodeList clash = before;
    clash.removeAt(3);
    clash.insert(5, foreign);
    clash[0].setTitle(QStringLiteral("renamed"));
    auto failed = store.replaceNodes(clash, workspace);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().kind, StoreError::Kind::step);
    EXPECT_EQ(nodeRows(raw), allBefore);
    // SQLite's wording and the statement are for the log, not for people.
    for (const char *sqliteText : {"UNIQUE", "constraint failed", "INSERT", "nodes.id"})
        EXPECT_FALSE(failed.error().description().contains(QLatin1String(sqliteText)))
            << failed.error().description().toStdString();

    // A node that cannot be encoded, after others were already written: one
    // whose sortOrder is no number, one whose record is over the size limit.
    NodeList unencodable = before;
    unencodable[1].setTitle(QStringLiteral("changed"));
    unencodable[8].setSortOrder(std::nan(""));
    NodeList oversized = before;
    oversized[1].setTitle(QStringLiteral("changed"));
    oversized[8].setTitle(QString(qsizetype(json::kMaxNodeRecordBytes), QLatin1Char('x')));
    for (const NodeList &refused : {unencodable, oversized}) {
        auto encodeFailed = store.replaceNodes(refused, workspace);
        ASSERT_FALSE(encodeFailed.ok());
        EXPECT_EQ(encodeFailed.error().kind, StoreError::Kind::encode);
        EXPECT_EQ(nodeRows(raw), allBefore);
    }
    EXPECT_TRUE(store.replaceNodes(oversized, workspace).error().description().contains(QStringLiteral("4 MiB")));

    // Written with the workspace row, the row stays as it was too.
    const Workspace stored{workspace, QStringLiteral("before"), kT0, kT0};
    ASSERT_TRUE(store.saveWorkspace(stored).ok());
    Workspace renamed = stored;
    renamed.title = QStringLiteral("renamed");
    ASSERT_FALSE(store.saveWorkspaceAndNodes(renamed, unencodable).ok());
    EXPECT_EQ(store.fetchWorkspace().value()->title, QStringLiteral("before"));
    EXPECT_EQ(nodeRows(raw), allBefore);

    // And the store still works afterwards.
    ASSERT_TRUE(store.replaceNodes(clash.mid(0, 5), workspace).ok());
    EXPECT_EQ(store.fetchNodes(workspace)->size(), 5);
}

// The incremental writer must leave the same rows a full rewrite would. A
// second store on a second file gets only full rewrites and serves as the
// reference, over random edit sequences.
TEST_F(WorkspaceStoreTest, IncrementalWritesMatchAFullRewriteOverRandomEdits)
{
    WorkspaceStore store(path());
    QTemporaryDir referenceDir;
    const auto referencePath = std::filesystem::path(referenceDir.path().toStdString()) / "reference.sqlite";

    std::mt19937 random(1234);
    NodeList nodes = sampleTree();
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());
    const Workspace row{workspace, QStringLiteral("W"), kT0, kT0};
    for (int step = 0; step < 300; ++step) {
        const int action = int(random() % 8);
        const qsizetype size = nodes.size();
        const qsizetype at = size ? qsizetype(random() % size) : 0;
        // Every other write says where the edit changed the list: right for
        // a rename, an append, renumbering and removals, wrong (and to be
        // noticed) for the others and for every other removal.
        const bool rightRemoval = (step / 2) % 2 == 0;
        NodeListEdit edit{{}, {action == 0 ? size : at}};
        switch (action) {
        case 0: // append a child
            nodes << node(QStringLiteral("n%1").arg(step), size ? std::optional<QUuid>(nodes[at].id()) : std::nullopt,
                          double(random() % 5));
            break;
        case 1: // insert in the middle
            nodes.insert(at, node(QStringLiteral("m%1").arg(step)));
            break;
        case 2: // delete one
            if (size) {
                nodes.removeAt(at);
                edit = NodeListEdit{{rightRemoval ? at : (at + 1) % size}, {}};
            }
            break;
        case 3: // rename one
            if (size)
                nodes[at].setTitle(QStringLiteral("r%1").arg(step));
            break;
        case 4: // move one to another place in the list and another parent
            if (size > 1) {
                WorkspaceNode moved = nodes.takeAt(at);
                moved.setParentID(nodes[qsizetype(random() % nodes.size())].id());
                moved.setSortOrder(double(step));
                nodes.insert(qsizetype(random() % (nodes.size() + 1)), moved);
            }
            break;
        case 5: // delete a run of nodes
            if (size > 4) {
                nodes.remove(at / 2, 3);
                edit = NodeListEdit{{at / 2, at / 2 + 1, at / 2 + (rightRemoval ? 2 : 3)}, {}};
            }
            break;
        case 6: // touch several at once, as renumbering does
            edit.changed.clear();
            for (qsizetype i = 0; i < size; i += 3) {
                nodes[i].setSortOrder(nodes[i].sortOrder() + 1);
                edit.changed << i;
            }
            break;
        case 7: // delete every fifth node, rename one and append one
            edit = {};
            for (qsizetype i = size - 1 - (size - 1) % 5; i >= 0; i -= 5) {
                nodes.removeAt(i);
                edit.removed.prepend(i);
            }
            if (!rightRemoval && !edit.removed.isEmpty())
                edit.removed.removeLast();
            if (!nodes.isEmpty()) {
                nodes[nodes.size() / 2].setTitle(QStringLiteral("f%1").arg(step));
                edit.changed << nodes.size() / 2;
            }
            nodes << node(QStringLiteral("a%1").arg(step));
            edit.changed << nodes.size() - 1;
            break;
        }
        if (step % 2) {
            auto written = store.saveEditInPlace(row, nodes, edit, HistoryWrite{});
            ASSERT_TRUE(written.ok()) << written.error().description().toStdString();
        } else {
            auto written = store.replaceNodes(nodes, workspace);
            ASSERT_TRUE(written.ok()) << written.error().description().toStdString();
        }
        if (step % 25 == 0 || step == 299) {
            {
                WorkspaceStore reference(referencePath);
                ASSERT_TRUE(reference.replaceNodes(nodes, workspace).ok());
            }
            RawDatabase raw(path());
            RawDatabase ref(referencePath);
            ASSERT_EQ(nodeRows(raw), nodeRows(ref)) << "after step " << step;
        }
    }
}

TEST_F(WorkspaceStoreTest, ChangesByAnotherConnectionAreNeverWrittenOver)
{
    WorkspaceStore store(path());
    NodeList nodes = sampleTree();
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());
    RawDatabase raw(path());

    // A commit that leaves the nodes alone does not stand in the way.
    raw.exec("INSERT INTO snapshots VALUES ('s', 'w', 'c', '{}')");
    EXPECT_FALSE(store.nodesChangedElsewhere(workspace).value());
    nodes[1].setTitle(QStringLiteral("g0c0 renamed"));
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());

    raw.exec("DELETE FROM nodes WHERE title = 'g1c2'");
    raw.exec("UPDATE nodes SET title = 'tampered' WHERE title = 'g0'");
    EXPECT_TRUE(store.nodesChangedElsewhere(workspace).value());
    nodes[0].setTitle(QStringLiteral("g0 renamed"));
    auto refused = store.replaceNodes(nodes, workspace);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, StoreError::Kind::changedElsewhere);
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes WHERE title IN ('g1c2', 'g0 renamed')"), "0");
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes WHERE title = 'tampered'"), "1");

    // Once read again, the store writes on top of what the other program left.
    NodeList reread = store.fetchNodes(workspace).value();
    EXPECT_FALSE(store.nodesChangedElsewhere(workspace).value());
    reread.last().setTitle(QStringLiteral("last renamed"));
    ASSERT_TRUE(store.replaceNodes(reread, workspace).ok());
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes WHERE title IN ('tampered', 'last renamed')"), "2");
}

TEST_F(WorkspaceStoreTest, APartOfTheTreeReadsInTheWholeReadsOrderAndWritesOnlyItsOwnRows)
{
    WorkspaceStore store(path());
    NodeList nodes = sampleTree(); // g0 g0c0..g0c3 g1 g1c0..g1c3 g2 ...
    const WorkspaceNode deep = node(QStringLiteral("deep"), nodes[11].id()); // under g2c0
    const WorkspaceNode deeper = node(QStringLiteral("deeper"), deep.id());
    // Equal sort order and age: only the order the rows were stored in tells them apart.
    const WorkspaceNode twinA = node(QStringLiteral("twinA"), std::nullopt, 1.5, kT0);
    const WorkspaceNode twinB = node(QStringLiteral("twinB"), std::nullopt, 1.5, kT0);
    WorkspaceNode loopA = node(QStringLiteral("loopA"));
    const WorkspaceNode loopB = node(QStringLiteral("loopB"), loopA.id());
    loopA.setParentID(loopB.id());
    nodes << deep << deeper << twinA << twinB << loopA << loopB;
    std::shuffle(nodes.begin(), nodes.end(), std::mt19937(3));
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());
    const NodeList whole = store.fetchNodes(workspace).value();
    auto find = [&](const char *title) {
        return *std::find_if(whole.begin(), whole.end(),
                             [&](const WorkspaceNode &n) { return n.title() == QLatin1String(title); });
    };

    // The twin stored first is read last.
    RawDatabase raw(path());
    const bool aFirst = raw.value("SELECT title FROM nodes WHERE title LIKE 'twin%' ORDER BY rowid LIMIT 1") == "twinA";
    const QUuid firstTwin = aFirst ? twinA.id() : twinB.id();
    const QUuid secondTwin = aFirst ? twinB.id() : twinA.id();

    WorkspaceStore::NodeScope scope;
    scope.groups = {find("g1").id()};
    scope.lastOfGroups = {std::nullopt}; // g0, sort order 2
    scope.nodes = {find("g2c1").id(), newUuid(), secondTwin};
    scope.ancestorsOf = {deeper.id(), loopA.id(), firstTwin};
    scope.subtreesOf = {find("g2c0").id(), loopB.id()};
    const QStringList inScope{QStringLiteral("g0"), QStringLiteral("g2"), QStringLiteral("g2c0"), QStringLiteral("deep"),
                              QStringLiteral("deeper"), QStringLiteral("g1c0"), QStringLiteral("g1c1"),
                              QStringLiteral("g1c2"), QStringLiteral("g1c3"), QStringLiteral("twinA"),
                              QStringLiteral("twinB"), QStringLiteral("g2c1"), QStringLiteral("loopA"),
                              QStringLiteral("loopB")};
    NodeList expected;
    for (const WorkspaceNode &n : whole) {
        if (inScope.contains(n.title()))
            expected << n;
    }
    store.setNodeScope(scope);
    EXPECT_TRUE(store.readsPartialTree());
    NodeList part = store.fetchNodes(workspace).value();
    ASSERT_EQ(part, expected);

    // Writing the part changes its rows and leaves every other row alone.
    for (WorkspaceNode &n : part) {
        if (n.title() == QLatin1String("g0"))
            n.setTitle(QStringLiteral("g0 renamed"));
    }
    part.removeIf([&](const WorkspaceNode &n) { return n.id() == deeper.id(); });
    part << node(QStringLiteral("added"), find("g1").id(), 9);
    ASSERT_TRUE(store.replaceNodes(part, workspace).ok());
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes"), std::to_string(whole.size()));
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes WHERE title IN ('g0 renamed', 'added', 'g2c2', 'g1')"), "4");
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes WHERE title IN ('g0', 'deeper')"), "0");

    // Without reading the part first, a write is refused rather than taken for the whole tree.
    store.setNodeScope(scope);
    auto refused = store.replaceNodes(part, workspace);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, StoreError::Kind::changedElsewhere);
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes"), std::to_string(whole.size()));
}

TEST_F(WorkspaceStoreTest, DatabaseFilesArePrivateWhateverTheUmask)
{
    const mode_t oldMask = ::umask(022);
    ASSERT_EQ(::chmod(dir.path().toUtf8().constData(), 0755), 0);
    for (const bool existing : {false, true}) {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(path().string() + suffix);
        std::optional<RawDatabase> other;
        if (existing) {
            // Left 0644 by another program, which keeps its log open.
            other.emplace(path());
            other->exec("PRAGMA journal_mode=WAL");
            other->exec("CREATE TABLE t (x)");
        }
        WorkspaceStore store(path());
        ASSERT_TRUE(store.replaceNodes(sampleTree(), workspace).ok());
        for (const char *suffix : {"", "-wal", "-shm"}) {
            struct stat info {};
            ASSERT_EQ(::stat((path().string() + suffix).c_str(), &info), 0) << suffix;
            EXPECT_EQ(info.st_mode & 0777, 0600u) << (existing ? "existing " : "new ") << "workspace.sqlite" << suffix;
        }
    }
    ::umask(oldMask);
}

TEST_F(WorkspaceStoreTest, AReadErrorIsReportedNotAShorterList)
{
    {
        WorkspaceStore store(path());
        NodeList many;
        for (int i = 0; i < 3000; ++i)
            many << node(QStringLiteral("node %1 ").arg(i) + QString(200, QLatin1Char('x')));
        ASSERT_TRUE(store.replaceNodes(many, workspace).ok());
        ASSERT_TRUE(store.fetchNodes(workspace).ok());
    }
    {
        RawDatabase raw(path());
        raw.exec("PRAGMA wal_checkpoint(TRUNCATE)");
        raw.exec("PRAGMA journal_mode=DELETE");
    }
    // Damage pages in the second half of the file, leaving the header alone.
    const auto size = std::filesystem::file_size(path());
    {
        std::fstream file(path(), std::ios::in | std::ios::out | std::ios::binary);
        for (std::uintmax_t offset = size / 2; offset + 64 < size; offset += 4096 * 3) {
            file.seekp(std::streamoff(offset));
            const std::string garbage(64, '\xA5');
            file.write(garbage.data(), std::streamsize(garbage.size()));
        }
    }
    WorkspaceStore damaged(path());
    auto loaded = damaged.fetchNodes(workspace);
    ASSERT_FALSE(loaded.ok()) << "returned " << loaded->size() << " nodes from a damaged file";
    EXPECT_TRUE(loaded.error().isCorrupt() || loaded.error().kind == StoreError::Kind::decode)
        << loaded.error().description().toStdString();
}

TEST_F(WorkspaceStoreTest, AnUndecodableRowFailsTheWholeLoadAndNamesTheRow)
{
    WorkspaceStore store(path());
    NodeList nodes = sampleTree();
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());
    RawDatabase raw(path());
    raw.exec("UPDATE nodes SET payload_json = replace(payload_json, '\"kind\":\"webLink\"', '\"kind\":\"slackChannel\"') "
             "WHERE id = '" + uuidText(nodes[4].id()) + "'");
    auto loaded = store.fetchNodes(workspace);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().kind, StoreError::Kind::decode);
    EXPECT_TRUE(loaded.error().message.contains(uuidQString(nodes[4].id())));
    EXPECT_TRUE(loaded.error().message.contains(QStringLiteral("kind")));

    raw.exec("UPDATE workspaces SET payload_json = '{}'");
    raw.exec("INSERT INTO workspaces VALUES ('x', 't', 'c', 'u', '{\"id\":1}')");
    auto workspaceLoad = store.fetchOrCreateDefaultWorkspace();
    EXPECT_FALSE(workspaceLoad.ok()); // never a fresh workspace over undecodable data
}

TEST_F(WorkspaceStoreTest, SnapshotsComeNewestFirstAndUpsertById)
{
    WorkspaceStore store(path());
    auto snapshot = [&](int minutesLater, const char *title) {
        return WorkspaceSnapshot{newUuid(), workspace, QString::fromLatin1(title), 1, kT0 + minutes{minutesLater},
                                 std::nullopt,
                                 TreeExportNode(newUuid(), std::nullopt, QStringLiteral("Workspace"), node(QStringLiteral("r")))};
    };
    WorkspaceSnapshot a = snapshot(1, "a"), b = snapshot(5, "b"), c = snapshot(3, "c");
    for (const auto &s : {a, b, c})
        ASSERT_TRUE(store.saveSnapshot(s).ok());
    WorkspaceSnapshot elsewhere = snapshot(9, "elsewhere");
    elsewhere.workspaceID = newUuid();
    ASSERT_TRUE(store.saveSnapshot(elsewhere).ok());

    auto listed = store.fetchSnapshots(workspace);
    ASSERT_TRUE(listed.ok());
    ASSERT_EQ(listed->size(), 3);
    EXPECT_EQ((*listed)[0], b);
    EXPECT_EQ((*listed)[1], c);
    EXPECT_EQ((*listed)[2], a);

    a.title = QStringLiteral("a again");
    ASSERT_TRUE(store.saveSnapshot(a).ok());
    listed = store.fetchSnapshots(workspace);
    ASSERT_EQ(listed->size(), 3);
    EXPECT_EQ((*listed)[2].title, QStringLiteral("a again"));

    Workspace renamed = *store.fetchOrCreateDefaultWorkspace();
    renamed.title = QStringLiteral("Renamed");
    renamed.updatedAt = kT0 + hours{5};
    ASSERT_TRUE(store.saveWorkspace(renamed).ok());
    EXPECT_EQ(*store.fetchOrCreateDefaultWorkspace(), renamed);
    RawDatabase raw(path());
    EXPECT_EQ(raw.value("SELECT count(*), updated_at FROM workspaces"), "1|2024-03-01T14:00:00Z");
}

TEST_F(WorkspaceStoreTest, ResetEmptiesAllThreeTables)
{
    WorkspaceStore store(path());
    ASSERT_TRUE(store.fetchOrCreateDefaultWorkspace().ok());
    ASSERT_TRUE(store.replaceNodes(sampleTree(), workspace).ok());
    ASSERT_TRUE(store
                    .saveSnapshot(WorkspaceSnapshot{newUuid(), workspace, QStringLiteral("s"), 1, kT0, std::nullopt,
                                                    TreeExportNode(newUuid(), std::nullopt, QStringLiteral("W"),
                                                                   node(QStringLiteral("r")))})
                    .ok());
    ASSERT_TRUE(store.reset().ok());
    RawDatabase raw(path());
    EXPECT_EQ(raw.value("SELECT (SELECT count(*) FROM workspaces) + (SELECT count(*) FROM nodes) + "
                        "(SELECT count(*) FROM snapshots)"),
              "0");
    // After a reset the next write cannot rely on what the store saw before.
    NodeList again = sampleTree();
    ASSERT_TRUE(store.replaceNodes(again, workspace).ok());
    EXPECT_EQ(raw.value("SELECT count(*) FROM nodes"), "15");
}

TEST_F(WorkspaceStoreTest, AnUnopenableDatabaseFailsEveryOperationNamingTheFile)
{
    const auto missing = path().parent_path() / "no" / "such" / "dir" / "workspace.sqlite";
    WorkspaceStore store(missing);
    ASSERT_TRUE(store.openError().has_value());
    const QString description = store.openError()->description();
    EXPECT_TRUE(description.contains(QString::fromStdString(missing.string()))) << description.toStdString();
    EXPECT_TRUE(description.contains(QStringLiteral("the database file cannot be opened"))) << description.toStdString();
    EXPECT_FALSE(store.fetchOrCreateDefaultWorkspace().ok());
    EXPECT_FALSE(store.fetchNodes(workspace).ok());
    EXPECT_FALSE(store.replaceNodes(sampleTree(), workspace).ok());
    EXPECT_FALSE(store.saveSnapshot({}).ok());
    EXPECT_FALSE(store.fetchSnapshots(workspace).ok());
    EXPECT_FALSE(store.reset().ok());
    EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));

    // Read-only mode never creates the file.
    WorkspaceStore readOnly(path(), WorkspaceStore::OpenMode::readOnly);
    EXPECT_TRUE(readOnly.openError().has_value());
    EXPECT_FALSE(std::filesystem::exists(path()));
}

TEST_F(WorkspaceStoreTest, ReadersWorkWhileAWriterHoldsATransaction)
{
    WorkspaceStore writer(path());
    ASSERT_TRUE(writer.fetchOrCreateDefaultWorkspace().ok());
    ASSERT_TRUE(writer.replaceNodes(sampleTree(), workspace).ok());

    RawDatabase other(path());
    other.exec("BEGIN IMMEDIATE");
    other.exec("DELETE FROM nodes");
    WorkspaceStore reader(path(), WorkspaceStore::OpenMode::readOnly);
    auto loaded = reader.fetchNodes(workspace);
    ASSERT_TRUE(loaded.ok()) << loaded.error().description().toStdString();
    EXPECT_EQ(loaded->size(), 15); // the committed state
    other.exec("ROLLBACK");
}

TEST_F(WorkspaceStoreTest, AWriteBlockedPastTheBusyTimeoutFailsAsBusyAndChangesNothing)
{
    WorkspaceStore store(path());
    NodeList nodes = sampleTree();
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());
    RawDatabase other(path());
    other.exec("BEGIN IMMEDIATE");
    nodes[0].setTitle(QStringLiteral("blocked"));
    auto blocked = store.replaceNodes(nodes, workspace);
    ASSERT_FALSE(blocked.ok());
    EXPECT_TRUE(blocked.error().isBusy()) << blocked.error().description().toStdString();
    other.exec("ROLLBACK");
    ASSERT_TRUE(store.replaceNodes(nodes, workspace).ok());
    EXPECT_EQ(other.value("SELECT count(*) FROM nodes WHERE title = 'blocked'"), "1");
}

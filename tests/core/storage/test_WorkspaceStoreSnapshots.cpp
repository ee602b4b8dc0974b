// Snapshots one at a time on a real database file: the list read without
// decoding trees, marks, deleting and renaming, records shared between
// snapshots, and snapshots older versions stored as one text.

#include "RawDatabase.h"
#include "TestNodes.h"
#include "archive/TreeArchiveService.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"
#include "storage/StoreCheck.h"
#include "storage/WorkspaceStore.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

using namespace tarni;

namespace {

class WorkspaceStoreSnapshotsTest : public ::testing::Test {
protected:
    std::filesystem::path path() const { return std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite"; }

    WorkspaceNode group(const QString &title, const std::optional<QUuid> &parent = std::nullopt, double order = 0)
    {
        return tarni::testing::groupNode(title, parent, order, workspace);
    }

    WorkspaceSnapshot snapshot(const QString &title, const NodeList &nodes, std::optional<QUuid> subtreeRoot = {})
    {
        TreeExport document = subtreeRoot ? archive.exportSubtree(*subtreeRoot, nodes).value()
                                          : archive.exportWorkspace(nodes);
        return archive.makeSnapshot(title, workspace, std::move(document), std::nullopt);
    }

    // As versions before records were shared stored it: the whole snapshot
    // as one text, with no list entry or head beside it.
    void saveAsOlderVersion(const WorkspaceSnapshot &old)
    {
        tarni::testing::RawDatabase(path()).exec(
            "INSERT INTO snapshots VALUES ('" + uuidText(old.id) + "', '" + uuidText(workspace) + "', '" +
            timestampText(old.createdAt) + "', '" + json::encode(old).value() + "');");
    }

    QTemporaryDir dir;
    TreeArchiveService archive;
    QUuid workspace = QUuid::createUuid();
};

TEST_F(WorkspaceStoreSnapshotsTest, SummariesAgreeWithTheDecodedSnapshots)
{
    WorkspaceStore store(path());
    const WorkspaceNode a = group(QStringLiteral("A"));
    const WorkspaceNode b = group(QStringLiteral("B"), a.id());
    const WorkspaceNode c = group(QStringLiteral("C \"children\":"), b.id());
    const NodeList nodes{a, b, c, group(QStringLiteral("D"), std::nullopt, 1)};
    // Titles that look like the text the list is read from.
    const QStringList titles{QStringLiteral("plain"), QStringLiteral("quote \" and \\ and \"title\":\"x\""),
                             QStringLiteral("日本語 \n tab\t ☃"), QString()};
    QList<WorkspaceSnapshot> saved;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        saved.push_back(snapshot(titles[i], nodes, i == 1 ? std::optional(b.id()) : std::nullopt));
        saved.back().createdAt += std::chrono::seconds(i);
        ASSERT_TRUE(i % 2 ? store.saveMarkedSnapshot(saved.back(), SnapshotOrigin::beforeImport)
                          : store.saveSnapshot(saved.back()));
    }
    // Written with each snapshot; read from the snapshot's own text when a
    // version without that table saved it.
    for (const char *pass : {"listed", "read from the text"}) {
        auto summaries = store.fetchSnapshotSummaries(workspace);
        ASSERT_TRUE(summaries) << summaries.error().description().toStdString();
        ASSERT_EQ(summaries->size(), titles.size());
        for (qsizetype i = 0; i < titles.size(); ++i) {
            const WorkspaceSnapshot &expected = saved[titles.size() - 1 - i]; // newest first
            SnapshotSummary want = summarizeSnapshot(
                expected, (titles.size() - 1 - i) % 2 ? SnapshotOrigin::beforeImport : SnapshotOrigin::manual);
            want.storedBytes = (*summaries)[i].storedBytes;
            EXPECT_EQ((*summaries)[i], want) << pass << " " << i;
        }
        EXPECT_EQ((*summaries)[2].nodeCount, 2); // B and C
        EXPECT_TRUE((*summaries)[2].subtree);
        EXPECT_EQ((*summaries)[3].nodeCount, 4);
        tarni::testing::RawDatabase(path()).exec("DELETE FROM snapshot_summaries");
    }

    // One snapshot by id, only within its workspace.
    EXPECT_EQ(store.fetchSnapshot(workspace, saved[1].id).value(), saved[1]);
    EXPECT_FALSE(store.fetchSnapshot(QUuid::createUuid(), saved[1].id).value());
}

// A snapshot this version cannot read is listed as such, and only it fails
// when it is opened.
TEST_F(WorkspaceStoreSnapshotsTest, ASnapshotThisVersionCannotReadHidesNoOther)
{
    WorkspaceStore store(path());
    const NodeList nodes{group(QStringLiteral("A"))};
    const WorkspaceSnapshot valid = snapshot(QStringLiteral("valid"), nodes);
    ASSERT_TRUE(store.saveSnapshot(valid));
    auto replaced = [](std::string text, const std::string &from, const std::string &to) {
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    const std::string newerSchema = "\"schemaVersion\":2";
    const std::string unknownKind = "\"kind\":\"whiteboard\"";
    const std::vector<std::tuple<QString, std::vector<std::pair<std::string, std::string>>, SnapshotCondition, QString>>
        rows{
            {QStringLiteral("newer, tree unreadable"),
             {{"\"schemaVersion\":1", newerSchema}, {"\"kind\":\"group\"", unknownKind}},
             SnapshotCondition::newerVersion,
             QStringLiteral("newer version of TarniBar (schema 2)")},
            {QStringLiteral("newer, tree readable"), {{"\"schemaVersion\":1", newerSchema}}, SnapshotCondition::newerVersion, {}},
            {QStringLiteral("damaged"), {{"\"kind\":\"group\"", unknownKind}}, SnapshotCondition::damaged,
             QStringLiteral("damaged")},
        };
    tarni::testing::RawDatabase raw(path());
    QList<QUuid> ids;
    for (const auto &[title, edits, condition, openError] : rows) {
        WorkspaceSnapshot other = snapshot(title, nodes);
        std::string text = *json::encode(other);
        for (const auto &[from, to] : edits)
            text = replaced(text, from, to);
        raw.exec("INSERT INTO snapshots VALUES ('" + uuidText(other.id) + "', '" + uuidText(workspace) +
                 "', '2020-01-01T00:00:00Z', '" + text + "')");
        ids << other.id;
    }

    auto summaries = store.fetchSnapshotSummaries(workspace);
    ASSERT_TRUE(summaries) << summaries.error().description().toStdString();
    auto every = store.fetchSnapshotList(workspace);
    ASSERT_TRUE(every) << every.error().description().toStdString();
    ASSERT_EQ(summaries->size(), 4);
    ASSERT_EQ(every->size(), 4);
    EXPECT_EQ(summaries->front().condition, SnapshotCondition::readable);
    WorkspaceSnapshot validHead = valid;
    validHead.rootNode.children.clear();
    EXPECT_EQ(every->front().snapshot, validHead);
    EXPECT_EQ(store.fetchSnapshot(workspace, valid.id).value(), valid);
    for (qsizetype i = 0; i < ids.size(); ++i) {
        const auto &[title, edits, condition, openError] = rows[std::size_t(i)];
        const auto summary = std::find_if(summaries->begin(), summaries->end(), [&](auto &s) { return s.id == ids[i]; });
        ASSERT_NE(summary, summaries->end());
        // The quick list does not decode what it need not.
        EXPECT_EQ(summary->condition, condition == SnapshotCondition::damaged ? SnapshotCondition::readable : condition)
            << title.toStdString();
        EXPECT_EQ(summary->title, title);
        const auto listed = std::find_if(every->begin(), every->end(), [&](auto &s) { return s.summary.id == ids[i]; });
        ASSERT_NE(listed, every->end());
        EXPECT_EQ(listed->summary.condition, condition) << title.toStdString();
        EXPECT_EQ(listed->summary.title, title);
        auto opened = store.fetchSnapshot(workspace, ids[i]);
        EXPECT_EQ(opened.ok(), openError.isEmpty()) << title.toStdString();
        if (!opened.ok()) {
            EXPECT_TRUE(opened.error().description().contains(openError)) << opened.error().description().toStdString();
        }
    }
}

// The list reads the heads written beside the snapshots, not the snapshots;
// a snapshot changed by other means is read again, so its damage shows.
TEST_F(WorkspaceStoreSnapshotsTest, TheListReadsRecordedHeadsUntilASnapshotChanges)
{
    WorkspaceStore store(path());
    const WorkspaceNode a = group(QStringLiteral("A"));
    const NodeList nodes{a, group(QStringLiteral("B"), a.id())};
    WorkspaceSnapshot whole = snapshot(QStringLiteral("whole"), nodes);
    WorkspaceSnapshot part = snapshot(QStringLiteral("part"), nodes, a.id());
    part.createdAt += std::chrono::seconds(1);
    saveAsOlderVersion(whole);
    ASSERT_TRUE(store.saveMarkedSnapshot(part, SnapshotOrigin::daily));
    ASSERT_TRUE(store.renameSnapshot(part.id, QStringLiteral("renamed")));
    part.title = QStringLiteral("renamed");

    auto conditions = [&] {
        std::vector<std::pair<QString, SnapshotCondition>> seen;
        const auto listed = store.fetchSnapshotList(workspace);
        for (const auto &entry : listed.value())
            seen.emplace_back(entry.summary.title, entry.summary.condition);
        return seen;
    };
    auto listed = store.fetchSnapshotList(workspace);
    ASSERT_TRUE(listed) << listed.error().description().toStdString();
    ASSERT_EQ(listed->size(), 2);
    for (const auto &[entry, expected] : {std::pair{(*listed)[0], part}, std::pair{(*listed)[1], whole}}) {
        SnapshotSummary summary = summarizeSnapshot(expected, entry.summary.origin);
        summary.storedBytes = entry.summary.storedBytes;
        EXPECT_EQ(entry.summary, summary);
        WorkspaceSnapshot head = expected;
        head.rootNode.children.clear();
        EXPECT_EQ(entry.snapshot, head);
    }
    EXPECT_EQ((*listed)[0].summary.origin, SnapshotOrigin::daily);

    // Damaged by another program: the list decodes that one and says so.
    tarni::testing::RawDatabase raw(path());
    raw.exec("UPDATE snapshots SET payload_json = replace(payload_json, '\"kind\":\"group\"', "
             "'\"kind\":\"whiteboard\"') WHERE id = '" + uuidText(whole.id) + "'");
    using Seen = std::vector<std::pair<QString, SnapshotCondition>>;
    EXPECT_EQ(conditions(), (Seen{{QStringLiteral("renamed"), SnapshotCondition::readable},
                                  {QStringLiteral("whole"), SnapshotCondition::damaged}}));
    auto one = store.fetchListedSnapshot(workspace, part.id);
    ASSERT_TRUE(one && *one);
    EXPECT_EQ((*one)->snapshot, part);
    const auto damaged = store.fetchListedSnapshot(workspace, whole.id);
    ASSERT_TRUE(damaged && *damaged);
    EXPECT_EQ((*damaged)->summary.condition, SnapshotCondition::damaged);
    EXPECT_FALSE(store.fetchListedSnapshot(QUuid::createUuid(), part.id).value());

    // A snapshot's records damaged: the list does not notice (it read only
    // the heads), opening it does.
    raw.exec("UPDATE snapshot_blocks SET body = x'00'");
    EXPECT_EQ(conditions(), (Seen{{QStringLiteral("renamed"), SnapshotCondition::readable},
                                  {QStringLiteral("whole"), SnapshotCondition::damaged}}));
    EXPECT_EQ(store.fetchListedSnapshot(workspace, part.id).value()->summary.condition, SnapshotCondition::damaged);
}

TEST_F(WorkspaceStoreSnapshotsTest, DeletingAndRenamingTouchOnlyTheirSnapshot)
{
    WorkspaceStore store(path());
    const NodeList nodes{group(QStringLiteral("A"))};
    const WorkspaceSnapshot keep = snapshot(QStringLiteral("keep"), nodes);
    const WorkspaceSnapshot drop = snapshot(QStringLiteral("drop"), nodes);
    ASSERT_TRUE(store.saveMarkedSnapshot(keep, SnapshotOrigin::daily));
    ASSERT_TRUE(store.saveMarkedSnapshot(drop, SnapshotOrigin::daily));

    ASSERT_TRUE(store.renameSnapshot(keep.id, QStringLiteral("renamed \"x\"")));
    WorkspaceSnapshot renamed = keep;
    renamed.title = QStringLiteral("renamed \"x\"");
    EXPECT_EQ(store.fetchSnapshot(workspace, keep.id).value(), renamed);
    const auto summaries = store.fetchSnapshotSummaries(workspace).value();
    EXPECT_TRUE(std::any_of(summaries.begin(), summaries.end(),
                            [&](const SnapshotSummary &summary) { return summary.title == renamed.title; }));
    EXPECT_FALSE(store.renameSnapshot(QUuid::createUuid(), QStringLiteral("nobody")));

    ASSERT_TRUE(store.deleteSnapshots({drop.id, QUuid::createUuid()}));
    auto times = store.fetchSnapshotTimes(workspace);
    ASSERT_TRUE(times);
    ASSERT_EQ(times->size(), 1);
    EXPECT_EQ(times->front().id, keep.id);
    EXPECT_EQ(times->front().origin, SnapshotOrigin::daily); // its mark stays

    // The mark of a deleted snapshot is gone with it: a snapshot saved again
    // under that id is a plain one.
    ASSERT_TRUE(store.saveSnapshot(drop));
    EXPECT_EQ(store.fetchSnapshotTimes(workspace)->front().origin, SnapshotOrigin::manual);
}

TEST_F(WorkspaceStoreSnapshotsTest, ADatabaseWithoutMarksReadsAsManualSnapshots)
{
    // An older database: the three tables only, one snapshot.
    const WorkspaceSnapshot old = snapshot(QStringLiteral("old"), {group(QStringLiteral("A"))});
    tarni::testing::RawDatabase(path()).exec(
        "CREATE TABLE snapshots (id TEXT PRIMARY KEY, workspace_id TEXT NOT NULL, created_at TEXT NOT NULL, "
        "payload_json TEXT NOT NULL); INSERT INTO snapshots VALUES ('" + uuidText(old.id) + "', '" +
        uuidText(workspace) + "', '" + timestampText(old.createdAt) + "', '" + json::encode(old).value() + "');");
    WorkspaceStore reader(path(), WorkspaceStore::OpenMode::readOnly);
    auto listed = reader.fetchSnapshotSummaries(workspace);
    ASSERT_TRUE(listed) << listed.error().description().toStdString();
    ASSERT_EQ(listed->size(), 1);
    EXPECT_EQ(listed->front().origin, SnapshotOrigin::manual);
    EXPECT_EQ(listed->front().nodeCount, 1);

    WorkspaceStore writer(path());
    ASSERT_TRUE(writer.saveMarkedSnapshot(snapshot(QStringLiteral("new"), {}), SnapshotOrigin::beforeRestore));
    EXPECT_EQ(writer.fetchSnapshotTimes(workspace)->size(), 2);
}

// A record is stored once however many snapshots hold it; deleting or
// replacing a snapshot deletes the blocks of records no other one holds.
TEST_F(WorkspaceStoreSnapshotsTest, SnapshotsStoreEachSharedRecordOnce)
{
    WorkspaceStore store(path());
    tarni::testing::RawDatabase raw(path());
    auto records = [&] { return std::stoi(raw.value("SELECT count(*) FROM snapshot_records")); };
    auto blocks = [&] { return std::stoi(raw.value("SELECT count(*) FROM snapshot_blocks")); };
    NodeList nodes;
    for (int i = 0; i < 30; ++i)
        nodes << group(QStringLiteral("G%1").arg(i), i % 5 ? std::optional(nodes.at(i - 1).id()) : std::nullopt, i);
    QList<WorkspaceSnapshot> daily;
    for (int day = 0; day < 3; ++day) {
        nodes[1].edit().title = QStringLiteral("renamed on day %1").arg(day);
        daily << snapshot(QStringLiteral("day %1").arg(day), nodes);
        ASSERT_TRUE(store.saveMarkedSnapshot(daily.back(), SnapshotOrigin::daily));
    }
    EXPECT_EQ(records(), 30 + 2);
    EXPECT_EQ(blocks(), 3);
    // Entry ids not numbered as exports number them are kept all the same.
    WorkspaceSnapshot part = snapshot(QStringLiteral("part"), nodes, nodes[0].id());
    part.rootNode.children.at(0).id = QUuid::createUuid();
    ASSERT_TRUE(store.saveSnapshot(part));
    EXPECT_EQ(records(), 32);
    for (const WorkspaceSnapshot &saved : daily + QList{part})
        EXPECT_EQ(store.fetchSnapshot(workspace, saved.id).value(), saved) << saved.title.toStdString();

    // Day 0's records are in the block the others read too.
    ASSERT_TRUE(store.deleteSnapshots({daily[0].id}));
    EXPECT_EQ(blocks(), 3);
    EXPECT_EQ(records(), 32);
    // G1 as renamed on day 1 was day 1's own.
    ASSERT_TRUE(store.deleteSnapshots({daily[1].id}));
    EXPECT_EQ(blocks(), 2);
    EXPECT_EQ(records(), 31);
    // Saved again under its id with one more node: only that node's record
    // is added, and nothing the replaced one held was its own.
    nodes << group(QStringLiteral("G30"), nodes[0].id(), 30);
    WorkspaceSnapshot again = snapshot(QStringLiteral("part"), nodes, nodes[0].id());
    again.id = part.id;
    ASSERT_TRUE(store.saveSnapshot(again));
    EXPECT_EQ(blocks(), 3);
    EXPECT_EQ(records(), 32);
    EXPECT_EQ(store.fetchSnapshot(workspace, part.id).value(), again);
    ASSERT_TRUE(store.deleteSnapshots({daily[2].id, part.id}));
    EXPECT_EQ(blocks(), 0);
    EXPECT_EQ(records(), 0);
    EXPECT_EQ(raw.value("SELECT count(*) FROM snapshot_trees"), "0");
}

TEST_F(WorkspaceStoreSnapshotsTest, SnapshotsOfOlderVersionsStayReadableRenamableAndDeletable)
{
    const WorkspaceNode a = group(QStringLiteral("A"));
    const NodeList nodes{a, group(QStringLiteral("B"), a.id())};
    WorkspaceSnapshot old = snapshot(QStringLiteral("old"), nodes);
    WorkspaceStore store(path());
    saveAsOlderVersion(old);
    const WorkspaceSnapshot fresh = snapshot(QStringLiteral("new"), nodes);
    ASSERT_TRUE(store.saveSnapshot(fresh));
    auto both = store.fetchSnapshots(workspace);
    ASSERT_TRUE(both) << both.error().description().toStdString();
    EXPECT_EQ(both->size(), 2);
    EXPECT_TRUE(both->contains(old) && both->contains(fresh));

    ASSERT_TRUE(store.renameSnapshot(old.id, QStringLiteral("renamed")));
    old.title = QStringLiteral("renamed");
    EXPECT_EQ(store.fetchSnapshot(workspace, old.id).value(), old);
    EXPECT_EQ(store.fetchListedSnapshot(workspace, old.id).value()->summary.condition, SnapshotCondition::readable);
    ASSERT_TRUE(store.deleteSnapshots({old.id}));
    EXPECT_EQ(store.fetchSnapshots(workspace).value(), QList{fresh});
}

// Whatever is damaged, opening the snapshot is an error, the list shows it
// as damaged, and the others stay readable; a damaged entry list keeps
// every record (what it names is unknown).
TEST_F(WorkspaceStoreSnapshotsTest, ADamagedSnapshotIsAnErrorNeverAPartialTree)
{
    const std::pair<const char *, const char *> damages[] = {
        {"block cut short", "UPDATE snapshot_blocks SET body = substr(body, 1, length(body) - 3)"},
        {"block compressed without the dictionary", "UPDATE snapshot_blocks SET body = x'789c030000000001'"},
        {"block missing", "DELETE FROM snapshot_blocks"},
        {"entry list cut short", "UPDATE snapshot_trees SET shape = substr(shape, 1, length(shape) / 2)"},
        {"entry list missing", "DELETE FROM snapshot_trees"},
        {"head not JSON", "UPDATE snapshot_trees SET head_json = '{'"},
    };
    const WorkspaceNode a = group(QStringLiteral("A"));
    const NodeList nodes{a, group(QStringLiteral("B"), a.id()), group(QStringLiteral("C"), a.id())};
    int round = 0;
    for (const auto &[what, sql] : damages) {
        const std::filesystem::path file = path().parent_path() / ("damaged" + std::to_string(round++) + ".sqlite");
        WorkspaceStore store(file);
        const WorkspaceSnapshot damaged = snapshot(QStringLiteral("damaged"), nodes);
        ASSERT_TRUE(store.saveSnapshot(damaged));
        tarni::testing::RawDatabase(file).exec(sql);
        auto read = store.fetchSnapshot(workspace, damaged.id);
        ASSERT_FALSE(read) << what;
        EXPECT_EQ(read.error().kind, StoreError::Kind::decode) << what;
        EXPECT_TRUE(read.error().message.startsWith(QStringLiteral("the snapshot is damaged: "))) << what;
        EXPECT_FALSE(store.fetchSnapshots(workspace)) << what;
        auto listed = store.fetchListedSnapshot(workspace, damaged.id);
        ASSERT_TRUE(listed && *listed) << what;
        EXPECT_EQ((*listed)->summary.condition, SnapshotCondition::damaged) << what;
        EXPECT_EQ((*listed)->summary.title, QStringLiteral("damaged")) << what;
        EXPECT_FALSE(checkWorkspaceDatabase(file).healthy()) << what;

        const WorkspaceSnapshot other = snapshot(QStringLiteral("other"), {group(QStringLiteral("elsewhere"))});
        ASSERT_TRUE(store.saveSnapshot(other));
        EXPECT_EQ(store.fetchSnapshot(workspace, other.id).value(), other) << what;
        tarni::testing::RawDatabase raw(file);
        const std::string before = raw.value("SELECT count(*) FROM snapshot_records");
        ASSERT_TRUE(store.deleteSnapshots({other.id})) << what;
        if (std::string_view(what).starts_with("entry list cut"))
            EXPECT_EQ(raw.value("SELECT count(*) FROM snapshot_records"), before);
        else
            EXPECT_LT(std::stoi(raw.value("SELECT count(*) FROM snapshot_records")), std::stoi(before)) << what;
    }
}

} // namespace

// Every store operation with one file operation failing under it, for each
// position of the failure until the operation runs past it: the failure comes
// back as an error, and the file reopened by plain SQLite is intact and holds
// the state before or the state after.

#include "FaultInjectingVfs.h"
#include "TestNodes.h"
#include "archive/TreeArchiveService.h"
#include "storage/StoreCheck.h"
#include "storage/WorkspaceStore.h"
#include "tree/TreeViewModel.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

using namespace tarni;
using namespace tarni::testing;
namespace fs = std::filesystem;
using Call = FaultInjectingVfs::Call;

namespace {

struct Fault {
    Call call;
    int code;
    bool persistent;
};

// A lock refused for good would only wait out the busy timeout each time.
const std::vector<Fault> kFaults = {
    {Call::read, SQLITE_IOERR_READ, false},      {Call::read, SQLITE_IOERR_READ, true},
    {Call::write, SQLITE_IOERR_WRITE, false},    {Call::write, SQLITE_FULL, true},
    {Call::sync, SQLITE_IOERR_FSYNC, false},     {Call::sync, SQLITE_IOERR_FSYNC, true},
    {Call::lock, SQLITE_BUSY, false},            {Call::lock, SQLITE_IOERR_LOCK, true},
    {Call::truncate, SQLITE_IOERR_TRUNCATE, false}, {Call::fileSize, SQLITE_IOERR_FSTAT, false},
    {Call::shmMap, SQLITE_IOERR_SHMMAP, false},  {Call::shmLock, SQLITE_BUSY, false},
    {Call::shmLock, SQLITE_IOERR_SHMLOCK, true},
};

struct Outcome {
    bool ok = false;
    bool wrongResult = false; // reported success with a result other than the stored one
    QString error;
};

template <class T>
Outcome outcomeOf(const StoreResult<T> &result)
{
    return result ? Outcome{true, false, {}} : Outcome{false, false, result.error().description()};
}

struct Operation {
    const char *name;
    std::function<Outcome(WorkspaceStore &)> run;
    std::function<void(WorkspaceStore &)> prepare = {}; // before the fault is armed
    bool faultsWhileOpening = false;
};

// Every table's rows as sorted text: what "the same state" means here.
// A history step's creation time is the store's clock, so it is left out.
std::vector<std::string> dump(const fs::path &path)
{
    std::vector<std::string> rows;
    sqlite3 *db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::string> tables;
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name;", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW)
        tables.emplace_back(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    for (const std::string &table : tables) {
        const std::string sql = "SELECT * FROM \"" + table + "\";";
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row = table;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                if (table == "edit_history" && std::string(sqlite3_column_name(s, i)) == "created_at")
                    continue;
                row += '|';
                if (sqlite3_column_type(s, i) == SQLITE_BLOB) {
                    const auto *bytes = static_cast<const char *>(sqlite3_column_blob(s, i));
                    row += QByteArray(bytes, sqlite3_column_bytes(s, i)).toHex().toStdString();
                    continue;
                }
                const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
                row += text ? text : "<null>";
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(s);
    }
    sqlite3_close_v2(db);
    std::sort(rows.begin(), rows.end());
    return rows;
}

void removeDatabase(const fs::path &path)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        fs::remove(path.string() + suffix);
}

// Calls `attempt` with every fault at every position from the first call on,
// until the fault no longer fires (the operation ran past it) or a check
// failed; `attempt` sets `fired`. Returns how many positions fired.
int forEachFault(const std::string &name, const std::function<void(const Fault &, int, bool &)> &attempt)
{
    int injected = 0;
    for (const Fault &fault : kFaults) {
        for (int n = 1; n <= 5000; ++n) {
            SCOPED_TRACE(::testing::Message() << name << ", " << FaultInjectingVfs::name(fault.call) << " #" << n
                                              << " fails with " << fault.code
                                              << (fault.persistent ? " for good" : " once"));
            bool fired = false;
            attempt(fault, n, fired);
            if (::testing::Test::HasFailure())
                return injected;
            if (!fired)
                break;
            ++injected;
        }
    }
    std::printf("%-28s %4d injected faults\n", name.c_str(), injected);
    return injected;
}

class StoreIoFaultTest : public ::testing::Test {
protected:
    fs::path at(const char *name) const { return fs::path(dir.path().toStdString()) / name; }

    WorkspaceNode link(const QString &title, std::optional<QUuid> parent, double order)
    {
        return WorkspaceNode(QUuid::createUuid(), workspace.id, parent, WorkspaceNodeKind::webLink, title,
                             std::nullopt, order, false, std::nullopt, kTestTime, kTestTime, std::nullopt,
                             NodePayload::webLink(WebLinkTarget{QStringLiteral("https://example.com/") + title,
                                                                std::nullopt}));
    }

    WorkspaceSnapshot snapshotOf(const QString &title, const NodeList &list)
    {
        WorkspaceSnapshot snapshot = archive.makeSnapshot(title, workspace.id, archive.exportWorkspace(list),
                                                          std::nullopt);
        snapshot.createdAt = kTestTime;
        return snapshot;
    }

    // Three groups of four links, one link with a title long enough to
    // spill into overflow pages, two snapshots, one recorded step that put
    // a subtree into the trash.
    void SetUp() override
    {
        // Thousands of expected failures would each log a warning.
        QLoggingCategory::setFilterRules(QStringLiteral("tarnibar.*.warning=false"));
        vfs.bypass();
        workspace = Workspace{QUuid::createUuid(), QStringLiteral("Faults"), kTestTime, kTestTime};
        for (int g = 0; g < 3; ++g) {
            nodes << groupNode(QStringLiteral("group %1").arg(g), std::nullopt, g, workspace.id);
            const QUuid parent = nodes.last().id();
            for (int c = 0; c < 4; ++c)
                nodes << link(QStringLiteral("link %1.%2").arg(g).arg(c), parent, c);
        }
        nodes << link(QString(3000, QLatin1Char('x')), std::nullopt, 3);
        trashed = NodeList{groupNode(QStringLiteral("gone"), std::nullopt, 4, workspace.id)};
        trashed << link(QStringLiteral("gone child"), trashed.first().id(), 0);

        WorkspaceStore store(at("base.sqlite"));
        ASSERT_TRUE(store.saveWorkspaceAndNodes(workspace, nodes + trashed));
        snapshots << snapshotOf(QStringLiteral("first"), nodes) << snapshotOf(QStringLiteral("second"), trashed);
        ASSERT_TRUE(store.saveSnapshot(snapshots[0]));
        ASSERT_TRUE(store.saveMarkedSnapshot(snapshots[1], SnapshotOrigin::beforeImport, kTestTime));
        trashEntry = TrashEntry{QUuid::createUuid(), workspace.id, kTestTime, QStringLiteral("gone"),
                                std::nullopt, 4, trashed};
        HistoryStep step{0, QStringLiteral("Delete"), QStringLiteral("gone"), trashed, {}, {trashEntry}, {}};
        HistoryWrite write{HistoryWrite::Kind::record, &step, 0, {trashEntry}, {}};
        auto recorded = store.saveEdit(workspace, nodes, write);
        ASSERT_TRUE(recorded && *recorded);
        recordedStep = **recorded;
    }

    // Runs `operation` with every fault at every position until it passes the
    // operation by; returns how many positions failed it.
    int exercise(const Operation &operation)
    {
        const fs::path base = at("base.sqlite");
        const fs::path work = at("work.sqlite");
        const auto before = dump(base);
        removeDatabase(work);
        fs::copy_file(base, work);
        {
            WorkspaceStore store(work);
            if (operation.prepare)
                operation.prepare(store);
            const Outcome clean = operation.run(store);
            EXPECT_TRUE(clean.ok && !clean.wrongResult) << operation.name << ": " << clean.error.toStdString();
        }
        const auto after = dump(work);
        EXPECT_TRUE(checkWorkspaceDatabase(work).healthy()) << operation.name << " leaves an unhealthy state by itself";

        return forEachFault(operation.name, [&](const Fault &fault, int n, bool &fired) {
            removeDatabase(work);
            fs::copy_file(base, work);
            vfs.intercept();
            Outcome outcome;
            if (operation.faultsWhileOpening)
                vfs.arm(fault.call, n, fault.code, fault.persistent);
            {
                WorkspaceStore store(work);
                if (operation.prepare)
                    operation.prepare(store);
                if (!operation.faultsWhileOpening)
                    vfs.arm(fault.call, n, fault.code, fault.persistent);
                outcome = operation.run(store);
                fired = vfs.fired();
                if (!fault.persistent)
                    vfs.disarm();
            } // a lasting fault lasts through closing too
            vfs.disarm();
            vfs.bypass();

            EXPECT_FALSE(outcome.wrongResult) << "reported success with a wrong result";
            if (!outcome.ok) {
                EXPECT_FALSE(outcome.error.isEmpty());
            }
            const StoreCheckReport report = checkWorkspaceDatabase(work);
            EXPECT_TRUE(report.healthy()) << report.failureMessage.toStdString() << " "
                                          << report.integrityMessages.join(QLatin1Char(' ')).toStdString()
                                          << report.undecodableRows.join(QLatin1Char(' ')).toStdString()
                                          << (report.unreachable.isEmpty() ? "" : " unreachable nodes");
            const auto state = dump(work);
            if (outcome.ok) {
                EXPECT_TRUE(state == after) << "reported success, but the change is not stored";
            } else {
                EXPECT_TRUE(state == before || state == after) << "neither the state before nor after";
            }
        });
    }

    // Thousands of synchronous commits: on a disk their flushes would take
    // most of the time, and flushing is not what is tested here.
    QTemporaryDir dir{QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                          ? QStringLiteral("/dev/shm/tarni-faults-XXXXXX")
                          : QDir::tempPath() + QStringLiteral("/tarni-faults-XXXXXX")};
    FaultInjectingVfs vfs;
    TreeArchiveService archive;
    Workspace workspace;
    NodeList nodes;
    NodeList trashed;
    QList<WorkspaceSnapshot> snapshots;
    TrashEntry trashEntry;
    std::int64_t recordedStep = 0;
};

TEST_F(StoreIoFaultTest, NodeWritesFailAsErrorsAndLeaveTheStateBeforeOrAfter)
{
    NodeList edited = nodes;
    edited[1].edit().title = QStringLiteral("renamed");
    edited[2].setParentID(edited[10].id());
    edited.removeAt(4);
    edited << link(QStringLiteral("added"), std::nullopt, 9);
    NodeList imported = nodes;
    for (int i = 0; i < 60; ++i)
        imported << link(QStringLiteral("imported %1").arg(i), std::nullopt, 10 + i);
    Workspace renamed = workspace;
    renamed.title = QStringLiteral("Renamed");
    auto fetch = [this](WorkspaceStore &store) { (void)store.fetchNodes(workspace.id); };

    // Differences against what the store last read, and the whole list rewritten.
    exercise({"replaceNodes (difference)", [&](WorkspaceStore &s) { return outcomeOf(s.replaceNodes(edited, workspace.id)); },
              fetch});
    exercise({"replaceNodes (rewrite)", [&](WorkspaceStore &s) { return outcomeOf(s.replaceNodes(edited, workspace.id)); }});
    exercise({"saveWorkspace", [&](WorkspaceStore &s) { return outcomeOf(s.saveWorkspace(renamed)); }});
    exercise({"saveWorkspaceAndNodes", [&](WorkspaceStore &s) {
                  return outcomeOf(s.saveWorkspaceAndNodes(renamed, imported));
              }, fetch});
    exercise({"reset", [&](WorkspaceStore &s) { return outcomeOf(s.reset()); }});
}

TEST_F(StoreIoFaultTest, HistoryAndTrashWritesFailAsErrorsAndLeaveTheStateBeforeOrAfter)
{
    auto fetch = [this](WorkspaceStore &store) { (void)store.fetchNodes(workspace.id); };
    // A delete: the subtree leaves the list for the trash, recorded as a step.
    NodeList remaining = nodes.mid(0, 5);
    NodeList doomed = nodes.mid(5);
    TrashEntry entry{QUuid::createUuid(), workspace.id, kTestTime, doomed.first().title(), std::nullopt, 1, doomed};
    HistoryStep deletion{0, QStringLiteral("Delete"), entry.title, doomed, {}, {entry}, {}};
    exercise({"saveEdit (delete to trash)", [&](WorkspaceStore &s) {
                  return outcomeOf(s.saveEdit(workspace, remaining,
                                              HistoryWrite{HistoryWrite::Kind::record, &deletion, 0, {entry}, {}}));
              }, fetch});
    // Restoring a snapshot or importing: a large step replacing the list.
    NodeList imported;
    for (int i = 0; i < 80; ++i)
        imported << link(QStringLiteral("restored %1").arg(i), std::nullopt, i);
    HistoryStep restore{0, QStringLiteral("Restore"), QStringLiteral("first"), nodes, imported, {}, {}};
    exercise({"saveEdit (restore, import)", [&](WorkspaceStore &s) {
                  return outcomeOf(s.saveEdit(workspace, imported,
                                              HistoryWrite{HistoryWrite::Kind::record, &restore, 0, {}, {}}));
              }, fetch});
    // Undoing the recorded delete takes its entry back out of the trash.
    exercise({"saveEdit (undo)", [&](WorkspaceStore &s) {
                  return outcomeOf(s.saveEdit(workspace, nodes + trashed,
                                              HistoryWrite{HistoryWrite::Kind::undo, nullptr, recordedStep, {},
                                                           {trashEntry.id}}));
              }});
    exercise({"clearHistory", [&](WorkspaceStore &s) { return outcomeOf(s.clearHistory(workspace.id)); }});
    exercise({"eraseTrash", [&](WorkspaceStore &s) { return outcomeOf(s.eraseTrash(workspace.id, {trashEntry.id})); }});
}

TEST_F(StoreIoFaultTest, SnapshotWritesFailAsErrorsAndLeaveTheStateBeforeOrAfter)
{
    NodeList larger = nodes;
    for (int i = 0; i < 40; ++i)
        larger << link(QStringLiteral("more %1").arg(i), std::nullopt, 20 + i);
    const WorkspaceSnapshot third = snapshotOf(QStringLiteral("third"), larger);
    exercise({"saveSnapshot", [&](WorkspaceStore &s) { return outcomeOf(s.saveSnapshot(third)); }});
    exercise({"saveMarkedSnapshot", [&](WorkspaceStore &s) {
                  return outcomeOf(s.saveMarkedSnapshot(third, SnapshotOrigin::beforeRestore, kTestTime));
              }});
    exercise({"renameSnapshot", [&](WorkspaceStore &s) {
                  return outcomeOf(s.renameSnapshot(snapshots[0].id, QStringLiteral("renamed")));
              }});
    exercise({"deleteSnapshots", [&](WorkspaceStore &s) { return outcomeOf(s.deleteSnapshots({snapshots[1].id})); }});
}

// Reads change nothing; what they must never do is hand back a partial or
// empty result as if it were the stored one.
TEST_F(StoreIoFaultTest, ReadsFailAsErrorsNeverAsPartialResults)
{
    exercise({"fetchNodes", [&](WorkspaceStore &s) {
                  auto read = s.fetchNodes(workspace.id);
                  Outcome o = outcomeOf(read);
                  if (read) {
                      NodeList expected = nodes;
                      NodeList got = *read;
                      auto byID = [](const WorkspaceNode &a, const WorkspaceNode &b) { return a.id() < b.id(); };
                      std::sort(expected.begin(), expected.end(), byID);
                      std::sort(got.begin(), got.end(), byID);
                      o.wrongResult = got != expected;
                  }
                  return o;
              }});
    exercise({"fetchSnapshot", [&](WorkspaceStore &s) {
                  auto read = s.fetchSnapshot(workspace.id, snapshots[0].id);
                  Outcome o = outcomeOf(read);
                  o.wrongResult = read && *read != std::optional(snapshots[0]);
                  return o;
              }});
    exercise({"fetchHistoryStep", [&](WorkspaceStore &s) {
                  auto read = s.fetchHistoryStep(recordedStep);
                  Outcome o = outcomeOf(read);
                  o.wrongResult = read && (read->before != trashed || read->trashAdded.size() != 1);
                  return o;
              }});
    exercise({"fetchTrashEntry", [&](WorkspaceStore &s) {
                  auto read = s.fetchTrashEntry(trashEntry.id);
                  Outcome o = outcomeOf(read);
                  o.wrongResult = read && *read != std::optional(trashEntry);
                  return o;
              }});
}

// Opening creates the file and its tables; a failure on the way must not
// leave a database that later opens as an empty workspace over lost data.
TEST_F(StoreIoFaultTest, OpeningFailsAsAnErrorAndLeavesAUsableFile)
{
    Operation openExisting{"open existing", [&](WorkspaceStore &s) {
                               auto read = s.fetchNodes(workspace.id);
                               Outcome o = outcomeOf(read);
                               o.wrongResult = read && read->size() != nodes.size();
                               return o;
                           }};
    openExisting.faultsWhileOpening = true;
    exercise(openExisting);
    const fs::path fresh = at("fresh.sqlite");
    forEachFault("open new and create", [&](const Fault &fault, int n, bool &fired) {
        removeDatabase(fresh);
        vfs.intercept();
        vfs.arm(fault.call, n, fault.code, fault.persistent);
        std::optional<Workspace> created;
        {
            WorkspaceStore store(fresh);
            auto workspace = store.fetchOrCreateDefaultWorkspace();
            if (workspace)
                created = *workspace;
        }
        fired = vfs.fired();
        vfs.disarm();
        vfs.bypass();
        if (fs::exists(fresh)) {
            WorkspaceStore reopened(fresh);
            auto stored = reopened.fetchWorkspace();
            ASSERT_TRUE(stored) << stored.error().description().toStdString();
            if (created) {
                EXPECT_EQ(*stored, created) << "the created workspace was reported but not stored";
            }
            EXPECT_TRUE(checkWorkspaceDatabase(fresh).healthy());
        } else {
            EXPECT_FALSE(created);
        }
    });
}

// The tree model above a failing store: an edit that cannot be written stays
// in memory and goes out with the next write, and nothing is lost on the way,
// neither from the tree nor from the trash.
TEST_F(StoreIoFaultTest, TheTreeModelLosesNoNodeWhenAWriteFails)
{
    const QUuid groupOne = nodes[5].id();
    NodeList imported;
    for (int i = 0; i < 30; ++i)
        imported << link(QStringLiteral("imported %1").arg(i), std::nullopt, i);
    const std::vector<std::pair<const char *, std::function<bool(TreeViewModel &)>>> edits = {
        {"rename", [&](TreeViewModel &m) { return bool(m.rename(nodes[1].id(), QStringLiteral("renamed"))); }},
        {"add", [&](TreeViewModel &m) { return bool(m.addGroup(QStringLiteral("added"))); }},
        {"move", [&](TreeViewModel &m) { return bool(m.move(nodes[2].id(), nodes[10].id())); }},
        {"delete subtree", [&](TreeViewModel &m) { return bool(m.deleteNode(groupOne)); }},
        {"restore from trash", [&](TreeViewModel &m) { return bool(m.restoreFromTrash(trashEntry.id)); }},
        {"undo", [&](TreeViewModel &m) { return bool(m.undo()); }},
        {"import", [&](TreeViewModel &m) { return bool(m.appendNodes(imported, std::nullopt)); }},
    };
    auto titles = [](const NodeList &list) {
        QStringList all;
        for (const WorkspaceNode &node : list)
            all << node.title();
        all.sort();
        return all;
    };
    const fs::path base = at("base.sqlite");
    const fs::path work = at("work.sqlite");
    for (const auto &entry : edits) {
        const char *name = entry.first;
        const auto &edit = entry.second;
        QStringList after;
        {
            removeDatabase(work);
            fs::copy_file(base, work);
            WorkspaceStore store(work);
            TreeViewModel model(store);
            ASSERT_TRUE(model.load());
            ASSERT_TRUE(edit(model)) << name;
            after = titles(model.nodes());
        }
        forEachFault(std::string("tree model: ") + name, [&](const Fault &fault, int n, bool &fired) {
            removeDatabase(work);
            fs::copy_file(base, work);
            vfs.intercept();
            QStringList shown;
            {
                WorkspaceStore store(work);
                TreeViewModel model(store);
                ASSERT_TRUE(model.load());
                const QStringList before = titles(model.nodes());
                vfs.arm(fault.call, n, fault.code, fault.persistent);
                const bool ok = edit(model);
                fired = vfs.fired();
                vfs.disarm();
                shown = titles(model.nodes());
                EXPECT_TRUE(shown == after || (!ok && shown == before)) << "the tree lost or gained nodes";
                // The next edit writes whatever the failed one could not.
                ASSERT_TRUE(model.rename(nodes[0].id(), QStringLiteral("next edit")));
                shown = titles(model.nodes());
            }
            vfs.bypass();
            WorkspaceStore reopened(work);
            auto stored = reopened.fetchNodes(workspace.id);
            ASSERT_TRUE(stored);
            EXPECT_EQ(titles(*stored), shown) << "the file does not hold what the tree shows";
            // Every node of the starting state is in the tree or in the
            // trash, and never in both.
            std::set<QUuid> inTree, inTrash;
            for (const WorkspaceNode &node : *stored)
                inTree.insert(node.id());
            const auto trash = reopened.fetchTrash(workspace.id);
            ASSERT_TRUE(trash);
            for (const TrashSummary &summary : *trash) {
                const auto entry = reopened.fetchTrashEntry(summary.id);
                ASSERT_TRUE(entry && *entry);
                for (const WorkspaceNode &node : (*entry)->nodes)
                    EXPECT_TRUE(inTrash.insert(node.id()).second && !inTree.contains(node.id()))
                        << node.title().toStdString() << " is in the trash twice or also in the tree";
            }
            for (const WorkspaceNode &node : nodes + trashed)
                EXPECT_TRUE(inTree.contains(node.id()) || inTrash.contains(node.id()))
                    << node.title().toStdString() << " is lost";
        });
    }
}

} // namespace

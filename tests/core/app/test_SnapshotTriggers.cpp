// When the application model takes automatic snapshots: before a large
// import, before a workspace restore, and the daily one. That a restore keeps
// the tree it replaces is the snapshot service's (test_SnapshotService).

#include "AppTestSupport.h"
#include "../treesupport/TestNodes.h"

#include "archive/TreeExportFile.h"
#include "storage/WorkspaceStore.h"

#include <QFileInfo>
#include <QSignalSpy>

#include <sqlite3.h>

using namespace tarni;
using namespace tarni::test;

namespace {

class SnapshotTriggerTest : public AppTest {
protected:
    QList<SnapshotTime> times()
    {
        return env->dependencies().workspaceStore->fetchSnapshotTimes(env->appModel().treeViewModel().workspace()->id)
            .value();
    }
    int marked(SnapshotOrigin origin)
    {
        int count = 0;
        for (const SnapshotTime &time : times())
            count += time.origin == origin;
        return count;
    }
    // An export file of `count` top-level groups.
    QUrl exportOf(int count)
    {
        NodeList nodes;
        const QUuid workspace = QUuid::createUuid();
        for (int i = 0; i < count; ++i)
            nodes.push_back(tarni::testing::groupNode(QStringLiteral("g%1").arg(i), std::nullopt, i, workspace));
        const QString file = dir.filePath(QStringLiteral("import-%1.json").arg(count));
        EXPECT_TRUE(TreeExportFile::write(TreeArchiveService().exportWorkspace(nodes), file.toStdString()));
        return QUrl::fromLocalFile(file);
    }
};

TEST_F(SnapshotTriggerTest, OnlyAnImportOfMoreThanAHundredNodesIsPrecededByASnapshot)
{
    AppModel &model = start();
    model.selectNodeWithoutOpening(std::nullopt);
    const qsizetype before = model.treeViewModel().nodes().size();
    model.importTree(exportOf(100));
    EXPECT_EQ(marked(SnapshotOrigin::beforeImport), 0);
    model.importTree(exportOf(101));
    ASSERT_EQ(marked(SnapshotOrigin::beforeImport), 1);
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Imported 101 node(s)"));
    // The snapshot holds the tree as it was just before: with the first
    // import, without the second.
    const auto summaries = model.snapshotSummaries();
    EXPECT_EQ(summaries.front().nodeCount, before + 100);
    EXPECT_TRUE(summaries.front().title.startsWith(QStringLiteral("Before import ")));
    // The import followed its snapshot within the same second, and is still
    // a change that the daily snapshot keeps.
    takeDailySnapshot();
    EXPECT_EQ(marked(SnapshotOrigin::daily), 1);

    // When that snapshot cannot be written, the import does not happen.
    const qsizetype nodes = model.treeViewModel().nodes().size();
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open((root() + QStringLiteral("/workspace.sqlite")).toUtf8().constData(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER no_more BEFORE INSERT ON snapshots BEGIN SELECT RAISE(ABORT, 'full'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    model.importTree(exportOf(150));
    EXPECT_TRUE(model.alertMessage().has_value());
    EXPECT_EQ(model.treeViewModel().nodes().size(), nodes);
}

TEST_F(SnapshotTriggerTest, TheDailySnapshotIsTakenOnceAndPrunedByTheSettings)
{
    AppModel &model = start();
    takeDailySnapshot();
    takeDailySnapshot();
    EXPECT_EQ(marked(SnapshotOrigin::daily), 1);
    EXPECT_FALSE(model.alertMessage());

    // Retention reads the settings at each automatic snapshot.
    env->settings().setValue(QLatin1String(kRetentionKeepLastSettingsKey), 2);
    env->settings().setValue(QLatin1String(kRetentionDailyDaysSettingsKey), 0);
    env->settings().setValue(QLatin1String(kRetentionMonthlyMonthsSettingsKey), 0);
    for (int i = 0; i < 3; ++i) {
        model.selectNodeWithoutOpening(std::nullopt);
        model.saveSnapshotOfWorkspace(); // manual ones stay
        const QUuid manual = model.snapshotSummaries().front().id;
        model.addGroup();
        model.restoreSnapshot(manual);
        ASSERT_FALSE(model.alertMessage());
    }
    EXPECT_EQ(marked(SnapshotOrigin::daily) + marked(SnapshotOrigin::beforeRestore), 2);
    EXPECT_EQ(marked(SnapshotOrigin::manual), 3);
}

// Written on the worker: the call returns before the snapshot is stored, the
// model keeps editing meanwhile, the snapshot holds the tree as it was when
// asked for, and the WAL it grew is checkpointed away. The trash is emptied
// there too. Quitting while the worker writes leaves the database whole.
TEST_F(SnapshotTriggerTest, TheDailySnapshotAndEmptyingTheTrashRunOffTheGuiThread)
{
    AppModel &model = start();
    NodeList nodes;
    const QUuid workspace = model.treeViewModel().workspace()->id;
    for (int i = 0; i < 20000; ++i)
        nodes.append(tarni::testing::groupNode(QStringLiteral("Group %1").arg(i), std::nullopt, i, workspace));
    ASSERT_TRUE(model.treeViewModel().replaceAllNodes(nodes));

    QSignalSpy checked(&model, &AppModel::dailySnapshotChecked);
    model.takeDailySnapshotIfDue();
    EXPECT_EQ(marked(SnapshotOrigin::daily), 0);
    model.selectNodeWithoutOpening(std::nullopt);
    model.addGroup();
    ASSERT_FALSE(model.alertMessage());
    ASSERT_TRUE(checked.wait(60000));
    ASSERT_EQ(marked(SnapshotOrigin::daily), 1);
    EXPECT_EQ(model.snapshotSummaries().front().nodeCount, 20000);
    const QString wal = root() + QStringLiteral("/workspace.sqlite-wal");
    EXPECT_LT(QFileInfo(wal).size(), 1024 * 1024);
    // The GUI's connection took the worker's commit without a conflict.
    model.addGroup();
    EXPECT_FALSE(model.alertMessage());
    EXPECT_EQ(model.treeViewModel().nodes().size(), 20002);

    model.selectNodeWithoutOpening(nodes.front().id());
    model.deleteSelectedNode();
    QSignalSpy trash(&model, &AppModel::trashChanged);
    model.emptyTrash();
    ASSERT_TRUE(trash.wait(60000));
    EXPECT_TRUE(model.trashEntries().isEmpty());
    EXPECT_TRUE(model.latestImportStatus().startsWith(QStringLiteral("Emptied the trash")));
    EXPECT_FALSE(model.alertMessage());

    ASSERT_TRUE(env->dependencies().workspaceStore->deleteSnapshots({model.snapshotSummaries().front().id}));
    model.takeDailySnapshotIfDue();
    env.reset();
    WorkspaceStore store((root() + QStringLiteral("/workspace.sqlite")).toStdString());
    const auto reopened = store.fetchWorkspace().value();
    ASSERT_TRUE(reopened);
    EXPECT_EQ(store.fetchNodes(reopened->id).value().size(), 20001);
    EXPECT_LE(store.fetchSnapshotTimes(reopened->id).value().size(), 1);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("LANGUAGE", "en");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

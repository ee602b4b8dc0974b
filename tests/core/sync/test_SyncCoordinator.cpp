// The running application's side of sync: changes go out after a command,
// and received ones reach the shown tree as row changes, without a reset,
// soon after their files arrive.

#include "app/SyncCoordinator.h"
#include "archive/TreeArchiveService.h"
#include "tree/DisplayedTree.h"
#include "tree/TreeViewModel.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace tarni;
namespace fs = std::filesystem;

namespace {

struct Rows : DisplayedTree::Listener {
    int resets = 0, inserted = 0, removed = 0, moved = 0, changed = 0;
    void aboutToReset() override { ++resets; }
    void aboutToInsert(DisplayedTree::SlotId, int first, int last) override { inserted += last - first + 1; }
    void didInsert() override {}
    void aboutToRemove(DisplayedTree::SlotId, int first, int last) override { removed += last - first + 1; }
    void didRemove() override {}
    void aboutToMove(DisplayedTree::SlotId, int, int, DisplayedTree::SlotId, int) override { ++moved; }
    void didMove() override {}
    void nodeChanged(DisplayedTree::SlotId) override { ++changed; }
};

struct Instance {
    QTemporaryDir dir;
    fs::path folder;
    WorkspaceStore store;
    TreeViewModel tree{store};
    TreeArchiveService archive;
    SyncCoordinator sync{store, tree, archive};
    DisplayedTree shown{tree};
    Rows rows;

    Instance() : folder(fs::path(dir.path().toStdString()) / "Sync"), store(fs::path(dir.path().toStdString()) / "workspace.sqlite")
    {
        fs::create_directories(folder);
        EXPECT_TRUE(tree.load());
        shown.setListener(&rows);
    }
};

void copyFolder(const fs::path &from, const fs::path &to)
{
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::update_existing);
}

TEST(SyncCoordinator, ReceivedChangesArriveAsRowChangesAndLocalOnesGoOutAfterTheCommand)
{
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    Instance laptop, desktop;
    auto kept = laptop.tree.addGroup(QStringLiteral("Kept"));
    auto renamed = laptop.tree.addGroup(QStringLiteral("Old title"));
    auto removed = laptop.tree.addGroup(QStringLiteral("Removed"));
    ASSERT_TRUE(kept && renamed && removed);
    ASSERT_TRUE(laptop.sync.enable(laptop.folder, QStringLiteral("Laptop")));
    copyFolder(laptop.folder, desktop.folder);
    bool keptSnapshot = true;
    ASSERT_TRUE(desktop.sync.enable(desktop.folder, QStringLiteral("Desktop"), &keptSnapshot));
    EXPECT_FALSE(keptSnapshot); // nothing of its own to keep
    ASSERT_EQ(desktop.tree.nodes().size(), 3);

    // The desktop's edits go out by themselves shortly after each command.
    ASSERT_TRUE(desktop.tree.rename(renamed->id(), QStringLiteral("New title")));
    ASSERT_TRUE(desktop.tree.deleteNode(removed->id()));
    auto added = desktop.tree.addWebLink(QStringLiteral("https://example.org/"), QStringLiteral("Added"), kept->id());
    ASSERT_TRUE(added);
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.sync.lastRun() && desktop.sync.lastRun()->changesSent >= 3; }, 3000));

    // On the laptop they show within the poll's interval of arriving, as
    // rows, with nothing reset.
    laptop.rows = {};
    copyFolder(desktop.folder, laptop.folder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return laptop.tree.node(added->id()).has_value(); },
                                SyncCoordinator::kPollMs + 2000));
    EXPECT_EQ(laptop.tree.node(renamed->id())->title(), QStringLiteral("New title"));
    EXPECT_FALSE(laptop.tree.node(removed->id()));
    EXPECT_EQ(laptop.rows.resets, 0);
    EXPECT_GE(laptop.rows.changed, 1);
    EXPECT_EQ(laptop.rows.removed, 1) << laptop.rows.inserted << " " << laptop.rows.moved;
    EXPECT_EQ(laptop.shown.tree(), laptop.tree.displayedTree());

    // An edit after that is written as usual, from the rows taken in.
    ASSERT_TRUE(laptop.tree.rename(added->id(), QStringLiteral("Added, renamed on the laptop")));
    ASSERT_TRUE(laptop.tree.load());
    EXPECT_EQ(laptop.tree.node(added->id())->title(), QStringLiteral("Added, renamed on the laptop"));
    EXPECT_EQ(laptop.tree.nodes().size(), 3);
}

} // namespace

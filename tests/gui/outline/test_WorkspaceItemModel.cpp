#include "gui/outline/WorkspaceItemModel.h"

#include "../../core/app/AppTestSupport.h"
#include "../../core/treesupport/TestNodes.h"
#include "GuiTestMain.h"

#include <QAbstractItemModelTester>
#include <QMimeData>
#include <QPersistentModelIndex>

#include <random>

using namespace tarni;

namespace {

// Titles are not unique; the shape is written with identifiers.
std::string shapeOf(const QList<WorkspaceTreeNode> &tree)
{
    std::string out;
    for (const auto &entry : tree)
        out += entry.id().toString().toStdString() + "(" + shapeOf(entry.children) + ")";
    return out;
}

std::string shapeOf(const QAbstractItemModel &model, const QModelIndex &parent = {})
{
    std::string out;
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex index = model.index(row, 0, parent);
        out += index.data(WorkspaceItemModel::NodeIdRole).toUuid().toString().toStdString() + "(" +
               shapeOf(model, index) + ")";
    }
    return out;
}

class WorkspaceItemModelTest : public test::AppTest {};

// Every edit the tree engine knows, at random, with the model checked by
// Qt's tester after each signal and compared with the projection after each
// step. One edit never resets the model, and a row that survives an edit
// (or a query that changes few rows) keeps its persistent index.
TEST_F(WorkspaceItemModelTest, FollowsRandomEditsRowByRow)
{
    AppModel &app = start();
    TreeViewModel &tree = app.treeViewModel();
    WorkspaceItemModel model(app);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    int resets = 0;
    QObject::connect(&model, &QAbstractItemModel::modelReset, [&] { ++resets; });

    std::mt19937 rng(11);
    const QStringList words{QStringLiteral("alpha"), QStringLiteral("beta"), QStringLiteral("gamma"),
                            QStringLiteral("Alpine"), QStringLiteral("delta")};
    const QStringList queries{QString(),          QString(),         QStringLiteral("al"),
                              QStringLiteral("alp"), QStringLiteral("e"), QStringLiteral("zzz"),
                              QStringLiteral("ALPINE"), QStringLiteral("alpine "), QStringLiteral("a alpha"),
                              QStringLiteral("Álpha"), QStringLiteral("ａｌｐｈａ")};
    auto anyNode = [&]() -> std::optional<QUuid> {
        const NodeList &nodes = tree.nodes();
        if (nodes.isEmpty())
            return std::nullopt;
        return nodes[qsizetype(rng() % std::uint32_t(nodes.size()))].id();
    };
    auto word = [&] { return words[qsizetype(rng() % std::uint32_t(words.size()))]; };

    for (int step = 0; step < 400; ++step) {
        const int resetsBefore = resets;
        bool mayReset = false;
        // A row shown before the edit, to follow through it.
        std::optional<QUuid> followed = anyNode();
        QPersistentModelIndex follow = followed ? model.indexForNode(*followed) : QModelIndex();
        if (!follow.isValid())
            followed.reset();

        const auto target = anyNode();
        const int op = int(rng() % 12);
        switch (op) {
        case 0:
        case 1:
            ASSERT_TRUE(tree.addGroup(word(), rng() % 3 ? anyNode() : std::nullopt));
            break;
        case 2:
        case 3:
            ASSERT_TRUE(tree.addWebLink(QStringLiteral("https://example.com/%1").arg(step), word(), anyNode()));
            break;
        case 4:
            if (target) {
                ASSERT_TRUE(tree.rename(*target, word()));
            }
            break;
        case 5:
        case 6:
            if (target) {
                std::optional<qsizetype> index;
                if (rng() % 2)
                    index = qsizetype(rng() % 5);
                const auto parent = rng() % 4 ? anyNode() : std::nullopt;
                if (!tree.canMove(*target, parent)) {
                    ASSERT_TRUE(tree.move(*target, parent, index));
                }
            }
            break;
        case 7:
            if (target && rng() % 2) {
                ASSERT_TRUE(tree.deleteNode(*target));
            }
            break;
        case 8:
            if (target) {
                ASSERT_TRUE(tree.duplicateSubtree(*target));
            }
            break;
        case 9:
            if (target) {
                ASSERT_TRUE(tree.setCollapsed(*target, rng() % 2));
            }
            break;
        case 10:
            mayReset = true;
            tree.setSearchQuery(queries[qsizetype(rng() % std::uint32_t(queries.size()))]);
            break;
        case 11:
            if (rng() % 8 == 0) {
                mayReset = true;
                NodeList nodes = tree.nodes();
                std::shuffle(nodes.begin(), nodes.end(), rng);
                ASSERT_TRUE(tree.replaceAllNodes(nodes));
            } else {
                const QUuid workspace = tree.workspace()->id;
                const WorkspaceNode group = tarni::testing::groupNode(word(), std::nullopt, 0, workspace);
                const NodeList imported{group, tarni::testing::groupNode(word(), group.id(), 0, workspace)};
                ASSERT_TRUE(tree.appendNodes(imported, anyNode()));
            }
            break;
        }

        ASSERT_EQ(shapeOf(model), shapeOf(tree.displayedTree())) << "step " << step;
        if (!mayReset) {
            ASSERT_EQ(resets, resetsBefore) << "step " << step;
        }
        // Without a reset (edits, and queries that change a few rows) a row
        // that stays keeps its persistent index.
        if (followed && resets == resetsBefore) {
            const QModelIndex now = model.indexForNode(*followed);
            ASSERT_EQ(QModelIndex(follow), now) << "step " << step << " op " << op;
        }
    }
}

TEST_F(WorkspaceItemModelTest, DescribesRowsAndCarriesNodeIdsAsDragText)
{
    AppModel &app = start();
    TreeViewModel &tree = app.treeViewModel();
    ASSERT_TRUE(tree.replaceAllNodes({}));
    const auto group = tree.addGroup(QStringLiteral("Work"));
    ASSERT_TRUE(group);
    const auto link = tree.addWebLink(QStringLiteral("https://example.com/a"), QStringLiteral("Design notes"), group->id());
    ASSERT_TRUE(link);
    WorkspaceItemModel model(app);

    const QModelIndex row = model.indexForNode(link->id());
    ASSERT_TRUE(row.isValid());
    const QString idText = link->id().toString(QUuid::WithoutBraces).toUpper();
    EXPECT_EQ(row.data(Qt::AccessibleTextRole).toString(), QStringLiteral("node-") + idText);
    EXPECT_EQ(row.data().toString(), QStringLiteral("Design notes"));
    EXPECT_EQ(row.data(WorkspaceItemModel::SubtitleRole).toString(), QStringLiteral("https://example.com/a"));
    EXPECT_FALSE(qvariant_cast<QIcon>(row.data(Qt::DecorationRole)).isNull());

    // Drops of this text are checked as the view receives them
    // (test_WorkspaceOutlineView).
    std::unique_ptr<QMimeData> drag(model.mimeData({row}));
    ASSERT_TRUE(drag);
    EXPECT_EQ(drag->text(), idText);
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}

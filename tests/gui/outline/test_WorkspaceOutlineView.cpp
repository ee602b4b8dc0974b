#include "gui/outline/WorkspaceItemModel.h"
#include "gui/outline/WorkspaceOutlineView.h"

#include "../../core/app/AppTestSupport.h"
#include "../../core/treesupport/TestNodes.h"
#include "GuiTestMain.h"

#include <QImage>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QTimer>

using namespace tarni;

namespace {

QUuid id(int n)
{
    return QUuid(quint32(n), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}
QList<QUuid> ids(std::initializer_list<int> ns)
{
    QList<QUuid> out;
    for (int n : ns)
        out.append(id(n));
    return out;
}

// Shown rows 1,2,3 (with 7 and 8 hidden by a search between and after them).
TEST(OutlineDropConversion, CountsAmongAllSiblingsWithoutTheMovedNode)
{
    struct Row {
        const char *name;
        int moved;
        int viewRow;
        QList<QUuid> shown;
        QList<QUuid> all;
        std::optional<qsizetype> expected;
    };
    const std::vector<Row> rows{
        {"third between the first two", 3, 1, ids({1, 2, 3}), ids({1, 2, 3}), 1},
        {"first just below itself stays", 1, 1, ids({1, 2, 3}), ids({1, 2, 3}), 0},
        {"first down before the third", 1, 2, ids({1, 2, 3}), ids({1, 2, 3}), 1},
        {"first to the end", 1, 3, ids({1, 2, 3}), ids({1, 2, 3}), 2},
        {"from elsewhere between", 9, 1, ids({1, 2}), ids({1, 2}), 1},
        {"into an empty group", 9, 0, {}, {}, 0},
        {"filtered: before a shown row", 3, 1, ids({1, 2, 3}), ids({1, 7, 2, 3, 8}), 2},
        {"filtered: after the last shown row", 1, 3, ids({1, 2, 3}), ids({1, 7, 2, 3, 8}), 3},
        {"filtered: only itself shown keeps its place", 2, 1, ids({2}), ids({7, 2, 8}), 1},
        {"onto the parent: last, hidden siblings too", 9, -1, ids({1}), ids({1, 7}), 2},
        {"onto its own parent: last", 1, -1, ids({1, 2, 3}), ids({1, 2, 3}), 2},
    };
    for (const Row &row : rows) {
        const OutlineDrop drop = convertOutlineDrop(id(row.moved), id(100), row.viewRow, row.shown, row.all);
        EXPECT_EQ(drop.parentID, id(100)) << row.name;
        EXPECT_EQ(drop.index, row.expected) << row.name;
    }
}

class OutlineViewTest : public test::AppTest {
protected:
    // Work (Docs, Mail), Later (collapsed: Hidden), Top link.
    AppModel &startWithTree()
    {
        AppModel &app = start(QStringList{});
        TreeViewModel &tree = app.treeViewModel();
        EXPECT_TRUE(tree.replaceAllNodes({}));
        work = tree.addGroup(QStringLiteral("Work"))->id();
        docs = tree.addWebLink(QStringLiteral("https://docs.example.com/"), QStringLiteral("Docs"), work)->id();
        mail = tree.addWebLink(QStringLiteral("https://mail.example.com/"), QStringLiteral("Mail"), work)->id();
        later = tree.addGroup(QStringLiteral("Later"))->id();
        hidden = tree.addWebLink(QStringLiteral("https://hidden.example.com/"), QStringLiteral("Hidden"), later)->id();
        EXPECT_TRUE(tree.setCollapsed(later, true));
        top = tree.addWebLink(QStringLiteral("https://top.example.com/"), QStringLiteral("Top"))->id();
        view = std::make_unique<WorkspaceOutlineView>(app, nullptr);
        view->resize(320, 400);
        view->show();
        QCoreApplication::processEvents();
        QObject::connect(&app.selectionCoordinator(), &SelectionCoordinator::selectedNodeIDChanged,
                         [this] { ++selections; });
        QObject::connect(&tree, &TreeViewModel::nodeUpdated, [this] { ++writes; });
        return app;
    }
    void TearDown() override
    {
        view.reset();
        AppTest::TearDown();
    }
    QModelIndex row(const QUuid &node) const { return view->itemModel()->indexForNode(node); }
    std::optional<QUuid> viewSelection() const
    {
        const auto rows = view->selectionModel()->selectedRows();
        return rows.isEmpty() ? std::nullopt : view->itemModel()->nodeId(rows.first());
    }
    void settle() { QTest::qWait(20); }
    // Drags `text` over the viewport and drops it at `at`; true if accepted.
    bool drop(const QString &text, const QPoint &at)
    {
        QMimeData data;
        data.setText(text);
        QDragEnterEvent enter(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view->viewport(), &enter);
        QDragMoveEvent move(at, Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view->viewport(), &move);
        QDropEvent dropped(QPointF(at), Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view->viewport(), &dropped);
        return dropped.isAccepted();
    }

    std::unique_ptr<WorkspaceOutlineView> view;
    QUuid work, docs, mail, later, hidden, top;
    int selections = 0;
    int writes = 0;
};

TEST_F(OutlineViewTest, FollowsTheModelsSelectionAndExpansionWithoutEcho)
{
    AppModel &app = startWithTree();
    EXPECT_TRUE(view->isExpanded(row(work)));
    EXPECT_FALSE(view->isExpanded(row(later)));

    app.selectNodeWithoutOpening(mail);
    EXPECT_EQ(viewSelection(), mail);
    EXPECT_EQ(selections, 1);

    app.selectNodeWithoutOpening(std::nullopt);
    EXPECT_EQ(viewSelection(), std::nullopt);
    EXPECT_EQ(selections, 2);

    app.setCollapsed(work, true);
    EXPECT_FALSE(view->isExpanded(row(work)));
    EXPECT_EQ(writes, 1);

    // The user's expansion is stored once, and only when it changes.
    view->expand(row(later));
    EXPECT_FALSE(app.treeViewModel().node(later)->isCollapsed());
    EXPECT_EQ(writes, 2);
    view->collapse(row(later));

    // A search shows every match expanded and stores nothing.
    app.treeViewModel().setSearchQuery(QStringLiteral("mail"));
    EXPECT_TRUE(view->isExpanded(row(work)));
    EXPECT_EQ(view->itemModel()->rowCount(), 1);
    app.treeViewModel().setSearchQuery(QString());
    EXPECT_FALSE(view->isExpanded(row(work)));
    EXPECT_EQ(writes, 3);

    // A query that hides the selected row leaves its node selected; the row
    // is selected again when a query shows it.
    app.treeViewModel().setSearchQuery(QStringLiteral("example"));
    app.selectNodeWithoutOpening(mail);
    const int selectionsBefore = selections;
    app.treeViewModel().setSearchQuery(QStringLiteral("docs EXAMPLE"));
    EXPECT_FALSE(row(mail).isValid());
    EXPECT_EQ(viewSelection(), std::nullopt);
    EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), mail);
    app.treeViewModel().setSearchQuery(QStringLiteral("example"));
    EXPECT_EQ(viewSelection(), mail);
    EXPECT_EQ(selections, selectionsBefore);
    EXPECT_EQ(opener->opened.size(), 0);
}

// Whatever selects a node shows it: the groups above it expand (one undo
// step with the edit that selected it, or one of its own), the row is
// selected and scrolled to. A collapse or an undo that hides the selection
// moves it onto the collapsed group.
TEST_F(OutlineViewTest, TheSelectedNodeIsAlwaysShown)
{
    AppModel &app = startWithTree();
    TreeViewModel &tree = app.treeViewModel();
    view->resize(320, 3 * WorkspaceOutlineView::kRowHeight);
    auto shownAndSelected = [&](const QUuid &node) {
        const QRect rect = view->visualRect(row(node));
        return viewSelection() == node && rect.isValid() && view->viewport()->rect().contains(rect);
    };

    app.selectNodeWithoutOpening(hidden);
    EXPECT_FALSE(tree.node(later)->isCollapsed());
    EXPECT_TRUE(shownAndSelected(hidden));
    EXPECT_EQ(tree.nextUndo()->action, QStringLiteral("Expand"));
    // Undoing that expansion leaves the group selected in its node's place.
    ASSERT_TRUE(app.undo());
    EXPECT_TRUE(shownAndSelected(later));
    ASSERT_TRUE(app.redo());
    app.selectNodeWithoutOpening(hidden);
    view->collapse(row(later));
    EXPECT_TRUE(shownAndSelected(later)) << "a collapse over the selection";

    // A new node in the collapsed group: added and expanded in one step.
    app.addWebLink(QStringLiteral("https://new.example.com/"));
    const QUuid added = *app.selectionCoordinator().selectedNodeID();
    EXPECT_EQ(tree.node(added)->parentID(), later);
    EXPECT_TRUE(shownAndSelected(added));
    ASSERT_TRUE(app.undo());
    EXPECT_FALSE(tree.node(added));
    EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), std::nullopt);
    EXPECT_TRUE(tree.node(later)->isCollapsed());

    ASSERT_TRUE(tree.setCollapsed(work, true));
    app.selectNodeWithoutOpening(top);
    app.moveNode(top, work, 0);
    EXPECT_TRUE(shownAndSelected(top)) << "a move keeps the selection in sight";

    // A collapse by a direct edit is kept; nothing acts on the hidden node
    // until the selection is confirmed, which moves it onto the group.
    app.selectNodeWithoutOpening(docs);
    ASSERT_TRUE(tree.setCollapsed(work, true));
    EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), docs);
    EXPECT_FALSE(app.inspectorViewModel().selectedNode());
    app.selectNodeWithoutOpening(docs);
    EXPECT_TRUE(shownAndSelected(work));
}

// A node the search filters out is no selection for keys or the inspector;
// selecting one ends the search.
TEST_F(OutlineViewTest, ASearchThatHidesTheSelectionDisarmsIt)
{
    AppModel &app = startWithTree();
    TreeViewModel &tree = app.treeViewModel();
    app.selectNodeWithoutOpening(docs);
    tree.setSearchQuery(QStringLiteral("mail"));
    EXPECT_FALSE(app.inspectorViewModel().selectedNode());
    app.deleteSelectedNode();
    app.duplicateSelectedNode();
    EXPECT_TRUE(tree.node(docs));
    EXPECT_EQ(tree.nodes().size(), 6);

    app.selectNodeWithoutOpening(hidden);
    EXPECT_TRUE(tree.searchQuery().isEmpty());
    EXPECT_EQ(viewSelection(), hidden);
}

// Opening on a single click is the default; without it a click only
// selects, and a double click or Enter opens.
TEST_F(OutlineViewTest, ASingleClickOpensOnlyWhenTheSettingSaysSo)
{
    struct Row {
        bool singleClick;
        int afterClick;
        int afterDoubleClick;
    };
    for (const Row &mode : {Row{true, 1, 1}, Row{false, 0, 1}}) {
        AppModel &app = startWithTree();
        app.setOpenWithSingleClick(mode.singleClick);
        const QPoint docsPoint = view->visualRect(row(docs)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, docsPoint);
        settle();
        EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), docs);
        EXPECT_EQ(opener->opened.size(), mode.afterClick) << mode.singleClick;
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, docsPoint);
        settle();
        EXPECT_EQ(opener->opened.size(), mode.afterDoubleClick) << mode.singleClick;
        view->setFocus();
        QTest::keyClick(view.get(), Qt::Key_Return);
        settle();
        EXPECT_EQ(opener->opened.size(), mode.afterDoubleClick + 1) << mode.singleClick;
        EXPECT_EQ(env->settings().value(QLatin1String(kOpenWithSingleClickSettingsKey)).toBool(), mode.singleClick);
        view.reset();
    }
}

// The view lays out expanded rows one stack frame per level; a chain far
// deeper than it can follow shows expanded down to the limit, also while
// searching, and can be opened further by hand. The stored flags stay.
TEST_F(OutlineViewTest, AnyDepthShowsExpandedDownToTheLimitAndStoresNothing)
{
    constexpr int kDepth = 40'000;
    constexpr int kLimit = WorkspaceItemModel::kMaxExpandedDepth;
    AppModel &app = start(QStringList{});
    TreeViewModel &tree = app.treeViewModel();
    const NodeList chain = tarni::testing::groupChain(kDepth, tree.workspace()->id);
    ASSERT_TRUE(tree.replaceAllNodes(chain));
    view = std::make_unique<WorkspaceOutlineView>(app, nullptr);
    view->show();
    QObject::connect(&tree, &TreeViewModel::nodeUpdated, [this] { ++writes; });
    auto expandedAt = [&](int level) { return view->isExpanded(row(chain[level].id())); };
    auto lastExpanded = [&] {
        int level = 0;
        while (level < kDepth && expandedAt(level))
            ++level;
        return level - 1;
    };
    QCoreApplication::processEvents();
    EXPECT_EQ(lastExpanded(), kLimit - 1);

    tree.setSearchQuery(QStringLiteral("level"));
    QCoreApplication::processEvents();
    EXPECT_EQ(lastExpanded(), kLimit - 1);
    tree.setSearchQuery(QString());
    QCoreApplication::processEvents();

    // By hand, one level further; what the user did is kept as it was.
    view->expand(row(chain[kLimit].id()));
    QCoreApplication::processEvents();
    EXPECT_EQ(lastExpanded(), kLimit);
    EXPECT_EQ(writes, 0);
    for (const WorkspaceNode &node : tree.nodes())
        ASSERT_FALSE(node.isCollapsed());
}

// Pixels of the amber that marks matches, in a row's image.
int markedPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > c.blue() + 60 && c.green() > c.blue() + 30 && c.red() > 110)
                ++count;
        }
    }
    return count;
}

// The words of a search are marked in the rows on light and dark palettes,
// and the marks follow a query that shows the same rows.
TEST_F(OutlineViewTest, MarksTheSearchedWordsAndRepaintsForEveryQuery)
{
    AppModel &app = startWithTree();
    auto rowImage = [&](const QUuid &node) {
        return view->viewport()->grab(view->visualRect(row(node))).toImage();
    };
    EXPECT_EQ(markedPixels(rowImage(mail)), 0);
    app.treeViewModel().setSearchQuery(QStringLiteral("MAIL"));
    QCoreApplication::processEvents();
    EXPECT_GT(markedPixels(rowImage(mail)), 20);
    // "Work" holds an "o" but is shown only for "Docs": it stays unmarked.
    app.treeViewModel().setSearchQuery(QStringLiteral("o docs"));
    EXPECT_GT(markedPixels(rowImage(docs)), 20);
    EXPECT_EQ(markedPixels(rowImage(work)), 0);
    app.treeViewModel().setSearchQuery(QStringLiteral("MAIL"));

    QPalette dark = view->palette();
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    view->setPalette(dark);
    EXPECT_GT(markedPixels(rowImage(mail)), 20);

    int paints = 0;
    struct Counter : QObject {
        int *paints;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint)
                ++*paints;
            return false;
        }
    } counter;
    counter.paints = &paints;
    view->viewport()->installEventFilter(&counter);
    settle();
    paints = 0;
    app.treeViewModel().setSearchQuery(QStringLiteral("mail mai"));
    settle();
    EXPECT_GT(paints, 0);
    view->viewport()->removeEventFilter(&counter);
}

TEST_F(OutlineViewTest, KeysSelectWithoutOpening)
{
    AppModel &app = startWithTree();
    view->setFocus();
    app.selectNodeWithoutOpening(work);
    QTest::keyClick(view.get(), Qt::Key_Down);
    QTest::keyClick(view.get(), Qt::Key_Down);
    EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), mail);
    QTest::keyClick(view.get(), Qt::Key_End);
    EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), top);
    settle();
    EXPECT_EQ(opener->opened.size(), 0);

    QTest::keyClick(view.get(), Qt::Key_Return);
    settle();
    ASSERT_EQ(opener->opened.size(), 1);
    EXPECT_EQ(opener->opened.last(), QUrl(QStringLiteral("https://top.example.com/")));
}

TEST_F(OutlineViewTest, ContextMenuSelectsItsRowAndRunsTheChosenEntryAfterClosing)
{
    AppModel &app = startWithTree();
    QList<QUuid> asked;
    int ran = 0;
    view->setContextMenuItems([&](const QUuid &node) {
        asked.append(node);
        QList<OutlineContextMenuItem> items;
        items.append({QStringLiteral("Open"), true, false, [&] { ++ran; }, QKeySequence(Qt::Key_Return)});
        items.append({QString(), true, true, {}, {}});
        items.append({QStringLiteral("Rename"), false, false, [&] { ++ran; }, QKeySequence(Qt::Key_F2)});
        return items;
    });

    std::unique_ptr<QMenu> menu = view->makeContextMenu(docs);
    ASSERT_TRUE(menu);
    const auto actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Open"));
    EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::Key_Return));
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_FALSE(actions[2]->isEnabled());

    // Right-click outside every row: no menu, no selection change.
    app.selectNodeWithoutOpening(top);
    const int before = selections;
    QContextMenuEvent outside(QContextMenuEvent::Mouse, QPoint(10, 390), view->mapToGlobal(QPoint(10, 390)));
    QCoreApplication::sendEvent(view->viewport(), &outside);
    EXPECT_EQ(selections, before);
    EXPECT_EQ(asked.size(), 1);

    // On a row: selected without opening, then the entry runs once the menu is gone.
    QTimer::singleShot(50, [] {
        if (auto *popup = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
            popup->actions().first()->trigger();
            popup->close();
        }
    });
    const QPoint mailPoint = view->visualRect(row(mail)).center();
    QContextMenuEvent onRow(QContextMenuEvent::Mouse, mailPoint, view->viewport()->mapToGlobal(mailPoint));
    QCoreApplication::sendEvent(view->viewport(), &onRow);
    EXPECT_EQ(app.selectionCoordinator().selectedNodeID(), mail);
    EXPECT_EQ(viewSelection(), mail);
    EXPECT_EQ(asked.last(), mail);
    EXPECT_EQ(ran, 0);
    settle();
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(opener->opened.size(), 0);

    // From the keyboard: the current row's menu.
    QTimer::singleShot(50, [] {
        if (auto *popup = QApplication::activePopupWidget())
            popup->close();
    });
    QTest::keyClick(view.get(), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(asked.size(), 3);
    EXPECT_EQ(asked.last(), mail);
}

// Text that names no node, or a group dropped into its own subtree, moves
// nothing.
TEST_F(OutlineViewTest, DropsThatNameNoMovableNodeAreRefused)
{
    AppModel &app = startWithTree();
    const NodeList before = app.treeViewModel().nodes();
    for (const QString &text : {QStringLiteral("not a node"), QUuid::createUuid().toString()}) {
        EXPECT_FALSE(drop(text, view->visualRect(row(later)).center())) << text.toStdString();
    }
    EXPECT_FALSE(drop(WorkspaceItemModel::dragText(work), view->visualRect(row(docs)).center()));
    EXPECT_EQ(app.treeViewModel().nodes(), before);
}

// A drop onto a row puts the node last among that row's children, whatever
// its old sort order; a drop between rows puts it exactly there, also when it
// moves down among its own siblings.
TEST_F(OutlineViewTest, DropsLandWhereTheyWereDropped)
{
    AppModel &app = start(QStringList{});
    TreeViewModel &tree = app.treeViewModel();
    ASSERT_TRUE(tree.replaceAllNodes({}));
    const QUuid a = tree.addGroup(QStringLiteral("A"))->id();
    const QUuid b = tree.addGroup(QStringLiteral("B"))->id();
    for (int i = 0; i < 8; ++i) {
        for (const auto &[group, name] : {std::pair{a, "a"}, std::pair{b, "b"}}) {
            if (group == a && i >= 6)
                continue;
            const QString title = QLatin1String(name) + QString::number(i);
            ASSERT_TRUE(tree.addWebLink(QStringLiteral("https://%1.example/").arg(title), title, group));
        }
    }
    view = std::make_unique<WorkspaceOutlineView>(app, nullptr);
    view->resize(320, 24 * WorkspaceOutlineView::kRowHeight);
    view->show();
    QCoreApplication::processEvents();
    auto node = [&](const QString &title) {
        for (const WorkspaceNode &n : tree.nodes())
            if (n.title() == title)
                return n.id();
        return QUuid();
    };
    enum Where { onto, above };
    auto drag = [&](const QString &moved, const QString &target, Where where) {
        const QRect rect = view->visualRect(row(node(target)));
        const QPoint at = where == onto ? rect.center() : rect.topLeft() + QPoint(60, 1);
        return drop(WorkspaceItemModel::dragText(node(moved)), at);
    };

    ASSERT_TRUE(drag(QStringLiteral("a4"), QStringLiteral("B"), onto));
    EXPECT_EQ(titles(b), QStringLiteral("b0 b1 b2 b3 b4 b5 b6 b7 a4").split(u' '));
    EXPECT_EQ(titles(a), QStringLiteral("a0 a1 a2 a3 a5").split(u' '));
    ASSERT_TRUE(drag(QStringLiteral("b1"), QStringLiteral("b4"), above));
    EXPECT_EQ(titles(b), QStringLiteral("b0 b2 b3 b1 b4 b5 b6 b7 a4").split(u' '));
    ASSERT_TRUE(drag(QStringLiteral("b6"), QStringLiteral("a1"), above));
    EXPECT_EQ(titles(a), QStringLiteral("a0 b6 a1 a2 a3 a5").split(u' '));
    ASSERT_TRUE(drag(QStringLiteral("a0"), QStringLiteral("A"), onto));
    EXPECT_EQ(titles(a), QStringLiteral("b6 a1 a2 a3 a5 a0").split(u' '));
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}

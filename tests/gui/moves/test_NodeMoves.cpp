// Moving nodes without a mouse, on the real application core and store:
// the Alt+arrow moves, "Move to…", and cut, copy and paste through the
// clipboard, hostile clipboard content included.

#include "GuiTestMain.h"
#include "../../core/app/AppTestSupport.h"

#include "app/ClipboardContent.h"
#include "gui/AppActions.h"
#include "gui/MoveToDialog.h"
#include "gui/SidebarRootView.h"
#include "gui/outline/WorkspaceItemModel.h"
#include "gui/outline/WorkspaceOutlineView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QTest>

#include <functional>

// Readable failures: titles, not bytes.
void PrintTo(const QString &text, std::ostream *out)
{
    *out << text.toStdString();
}

using namespace tarni;
using namespace tarni::test;

namespace {

const QHash<QString, QString> kSample{{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("sample")}};
const QString kNodesType = QString::fromLatin1(ClipboardContent::kNodesMimeType);

// Today {Example, C456, <folder>}, Work {Plan (collapsed) {Draft}, Notes}.
class MovesTest : public AppTest {
protected:
    void SetUp() override
    {
        AppTest::SetUp();
        AppModel &model = start({QStringLiteral("--uitest-mode")}, kSample);
        TreeViewModel &tree = model.treeViewModel();
        const auto work = tree.addGroup(QStringLiteral("Work"));
        ASSERT_TRUE(work);
        const auto plan = tree.addGroup(QStringLiteral("Plan"), work->id());
        ASSERT_TRUE(plan);
        ASSERT_TRUE(tree.addGroup(QStringLiteral("Draft"), plan->id()));
        ASSERT_TRUE(tree.setCollapsed(plan->id(), true));
        ASSERT_TRUE(tree.addWebLink(QStringLiteral("https://notes.example/"), QStringLiteral("Notes"), work->id()));
        ASSERT_TRUE(tree.clearHistory());
        view = std::make_unique<SidebarRootView>(model);
        view->resize(320, 800);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
        view->outline()->setFocus();
        QGuiApplication::clipboard()->clear();
    }
    void TearDown() override
    {
        view.reset();
        AppTest::TearDown();
    }

    AppModel &model() { return env->appModel(); }
    AppActions &actions() { return view->actions(); }
    WorkspaceNode named(const QString &title)
    {
        for (const WorkspaceNode &node : model().treeViewModel().nodes())
            if (node.title() == title)
                return node;
        ADD_FAILURE() << "no node " << title.toStdString();
        return model().treeViewModel().nodes().front();
    }
    void select(const QString &title) { model().selectNodeWithoutOpening(named(title).id()); }
    std::optional<QUuid> parentOf(const QString &title) { return named(title).parentID(); }
    QStringList under(const QString &title) { return titles(title.isEmpty() ? std::nullopt : std::optional(named(title).id())); }
    QString status() const { return env->appModel().latestImportStatus(); }
    // The whole tree as "parent/title" lines in display order.
    QStringList shape()
    {
        QStringList out;
        std::function<void(const std::optional<QUuid> &, const QString &)> walk =
            [&](const std::optional<QUuid> &parent, const QString &prefix) {
                for (const WorkspaceNode &node : children(parent)) {
                    out << prefix + node.title();
                    walk(node.id(), prefix + node.title() + QLatin1Char('/'));
                }
            };
        walk(std::nullopt, {});
        return out;
    }

    std::unique_ptr<SidebarRootView> view;
};

TEST_F(MovesTest, AltArrowsMoveTheSelectedNodeAsOneStep)
{
    const QString folder = children(named(QStringLiteral("Today")).id()).at(2).title();
    struct Row {
        const char *name;
        QString selected;
        Qt::Key key;
        // Where the node ends up: its parent's children; empty: no move.
        QString parent;
        QStringList siblings;
    };
    const QString example = QStringLiteral("Example"), slack = QStringLiteral("C456");
    const Row rows[] = {
        {"up", slack, Qt::Key_Up, QStringLiteral("Today"), {slack, example, folder}},
        {"down", example, Qt::Key_Down, QStringLiteral("Today"), {slack, example, folder}},
        {"out of the group, right after it", slack, Qt::Key_Left, QString(),
         {QStringLiteral("Today"), slack, QStringLiteral("Work")}},
        {"into the collapsed group above, last", QStringLiteral("Notes"), Qt::Key_Right, QStringLiteral("Plan"),
         {QStringLiteral("Draft"), QStringLiteral("Notes")}},
        {"up from the first", example, Qt::Key_Up, {}, {}},
        {"down from the last", folder, Qt::Key_Down, {}, {}},
        {"out of the top level", QStringLiteral("Work"), Qt::Key_Left, {}, {}},
        {"into a sibling that is no group", slack, Qt::Key_Right, {}, {}},
        {"into nothing above", QStringLiteral("Today"), Qt::Key_Right, {}, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        select(row.selected);
        const QUuid id = named(row.selected).id();
        const QStringList before = shape();
        const auto current = view->outline()->currentIndex();
        QTest::keyClick(view->outline(), row.key, Qt::AltModifier);
        EXPECT_EQ(model().selectionCoordinator().selectedNodeID(), id);
        if (row.siblings.isEmpty()) {
            // Disabled, and the outline does not take the key as a move of
            // its cursor either.
            EXPECT_EQ(shape(), before);
            EXPECT_EQ(view->outline()->currentIndex(), current);
            continue;
        }
        EXPECT_EQ(under(row.parent), row.siblings);
        EXPECT_EQ(view->outline()->itemModel()->nodeId(view->outline()->currentIndex()), id);
        // Kept in sight: every group above it is expanded.
        for (auto up = named(row.selected).parentID(); up; up = model().treeViewModel().node(up)->parentID())
            EXPECT_FALSE(model().treeViewModel().node(up)->isCollapsed());
        EXPECT_TRUE(model().undoMenuTitle().contains(row.selected));
        QTest::keyClick(view->outline(), Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(shape(), before);
        EXPECT_TRUE(named(QStringLiteral("Plan")).isCollapsed());
    }
}

TEST_F(MovesTest, SearchDisablesTheMovesThatFollowTheWholeTree)
{
    select(QStringLiteral("C456"));
    EXPECT_TRUE(actions().moveUp->isEnabled());
    view->searchField()->setText(QStringLiteral("c4"));
    for (QAction *move : {actions().moveUp, actions().moveDown, actions().moveOutOfGroup, actions().moveIntoGroupAbove})
        EXPECT_FALSE(move->isEnabled()) << move->text().toStdString();
    EXPECT_TRUE(actions().moveTo->isEnabled());
    // Nothing is cut, copied or pasted beside a node the filter hides.
    QGuiApplication::clipboard()->setText(QStringLiteral("https://example.org/"));
    view->searchField()->setText(QStringLiteral("notes"));
    for (QAction *action : {actions().copy, actions().paste, actions().moveTo})
        EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
    view->searchField()->clear();
    EXPECT_TRUE(actions().paste->isEnabled());
}

TEST_F(MovesTest, MoveToOffersGroupsByPathAndIsDrivenByTheKeyboard)
{
    struct Row {
        const char *name;
        QString selected;
        QString typed;
        int downs;
        QString parent; // empty: the top level
    };
    const Row rows[] = {
        {"typing picks the first match", QStringLiteral("C456"), QStringLiteral("pla"), 0, QStringLiteral("Plan")},
        {"down walks the list", QStringLiteral("Notes"), QString(), 1, QStringLiteral("Today")},
        {"the top level", QStringLiteral("Notes"), QString(), 0, QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        select(row.selected);
        MoveToDialog *dialog = actions().chooseMoveDestination();
        ASSERT_TRUE(dialog);
        QTest::keyClicks(dialog->searchField(), row.typed);
        for (int i = 0; i < row.downs; ++i)
            QTest::keyClick(dialog->searchField(), Qt::Key_Down);
        QTest::keyClick(dialog->searchField(), Qt::Key_Return);
        EXPECT_EQ(parentOf(row.selected), row.parent.isEmpty() ? std::nullopt : std::optional(named(row.parent).id()));
        EXPECT_EQ(under(row.parent).last(), row.selected);
        EXPECT_FALSE(named(row.parent.isEmpty() ? row.selected : row.parent).isCollapsed());
    }

    // A group is not offered itself or anything below it.
    select(QStringLiteral("Work"));
    MoveToDialog *dialog = actions().chooseMoveDestination();
    ASSERT_TRUE(dialog);
    QStringList offered;
    for (int i = 0; i < dialog->list()->count(); ++i)
        offered << dialog->list()->item(i)->text();
    EXPECT_EQ(offered, QStringList({QStringLiteral("Top Level"), QStringLiteral("Today")}));
    QTest::keyClicks(dialog->searchField(), QStringLiteral("nothing like it"));
    QTest::keyClick(dialog->searchField(), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    dialog->reject();
}

TEST_F(MovesTest, CutCopyAndPasteOfNodes)
{
    struct Row {
        const char *name;
        bool cut;
        QString copied;
        QString pasteOn;
        // Set between copying and pasting.
        std::function<void()> meanwhile;
        QString parent;
        QStringList siblings;
        bool originalStays;
    };
    const QString slack = QStringLiteral("C456");
    const QString folder = children(named(QStringLiteral("Today")).id()).at(2).title();
    const Row rows[] = {
        {"a copy goes last into a group", false, slack, QStringLiteral("Work"), {}, QStringLiteral("Work"),
         {QStringLiteral("Plan"), QStringLiteral("Notes"), slack}, true},
        {"a copy goes right after a leaf", false, QStringLiteral("Plan"), QStringLiteral("Example"), {},
         QStringLiteral("Today"), {QStringLiteral("Example"), QStringLiteral("Plan"), slack, folder}, true},
        {"a cut moves the node itself, last into a group", true, QStringLiteral("Example"), QStringLiteral("Work"), {},
         QStringLiteral("Work"), {QStringLiteral("Plan"), QStringLiteral("Notes"), QStringLiteral("Example")}, false},
        {"a cut goes right after a leaf, also among its own siblings", true, QStringLiteral("Example"), folder, {},
         QStringLiteral("Today"), {slack, folder, QStringLiteral("Example")}, false},
        {"a cut whose node was deleted pastes its copy", true, slack, QStringLiteral("Notes"),
         [this] { ASSERT_TRUE(model().treeViewModel().deleteNode(named(QStringLiteral("C456")).id())); },
         QStringLiteral("Work"), {QStringLiteral("Plan"), QStringLiteral("Notes"), slack}, false},
        {"a cut replaced on the clipboard by a copy pastes that copy", true, slack, QStringLiteral("Work"),
         [this] {
             select(QStringLiteral("C456"));
             actions().copy->trigger();
         },
         QStringLiteral("Work"), {QStringLiteral("Plan"), QStringLiteral("Notes"), slack}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QStringList start = shape();
        const WorkspaceNode original = named(row.copied);
        select(row.copied);
        QTest::keyClick(view->outline(), row.cut ? Qt::Key_X : Qt::Key_C, Qt::ControlModifier);
        // Nothing leaves the tree before the paste.
        EXPECT_EQ(shape(), start);
        const QMimeData *data = QGuiApplication::clipboard()->mimeData();
        ASSERT_TRUE(data && data->hasFormat(kNodesType));
        if (row.copied == slack) {
            EXPECT_EQ(data->text(), original.subtitle().value_or(QString()));
        }
        if (row.meanwhile)
            row.meanwhile();
        const QStringList beforePaste = shape();
        select(row.pasteOn);
        ASSERT_TRUE(actions().paste->isEnabled());
        QTest::keyClick(view->outline(), Qt::Key_V, Qt::ControlModifier);

        EXPECT_EQ(under(row.parent), row.siblings);
        const auto pasted = model().treeViewModel().node(model().selectionCoordinator().selectedNodeID());
        ASSERT_TRUE(pasted);
        EXPECT_EQ(pasted->title(), row.copied);
        EXPECT_EQ(pasted->id() == original.id(), row.cut && !row.meanwhile);
        EXPECT_EQ(model().treeViewModel().node(original.id()).has_value(), row.originalStays || !row.meanwhile);
        QTest::keyClick(view->outline(), Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(shape(), beforePaste);
        while (shape() != start && model().treeViewModel().nextUndo())
            (void)model().undo();
        ASSERT_EQ(shape(), start);
    }
}

TEST_F(MovesTest, PastedTextAddsOnlyWhatTheAddressRuleAccepts)
{
    auto mime = [](const QString &type, const QByteArray &bytes) {
        auto *data = new QMimeData;
        data->setData(type, bytes);
        return data;
    };
    auto text = [](const QString &text) {
        auto *data = new QMimeData;
        data->setText(text);
        return data;
    };
    QByteArray mozUrl;
    for (const QChar c : QStringLiteral("https://a.example/page\nA page"))
        mozUrl.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    QString tooMany;
    for (qsizetype i = 0; i <= ClipboardContent::kMaxPastedLinks; ++i)
        tooMany += QStringLiteral("https://example.org/%1\n").arg(i);
    struct Row {
        const char *name;
        std::function<QMimeData *()> data;
        QStringList added; // titles, after the selected leaf
        QString statusHas;
    };
    const Row rows[] = {
        {"addresses one a line; the others are named",
         [&] { return text(QStringLiteral("https://a.example/x\n\n  javascript:alert(1)\nhttp://b.example/\n")); },
         {QStringLiteral("a.example"), QStringLiteral("b.example")}, QStringLiteral("javascript:alert(1)")},
        {"a browser's link keeps its title", [&] { return mime(QStringLiteral("text/x-moz-url"), mozUrl); },
         {QStringLiteral("A page")}, QStringLiteral("Added 1 web link")},
        {"a link whose uri-list came empty, as X11 gives a browser's, by its text", [&] {
             QMimeData *data = mime(QStringLiteral("text/uri-list"), {});
             data->setText(QStringLiteral("https://d.example/"));
             return data;
         }, {QStringLiteral("d.example")}, QStringLiteral("Added 1 web link")},
        {"a uri-list skips its comments",
         [&] { return mime(QStringLiteral("text/uri-list"), "# from a browser\r\nhttps://c.example/\r\nfile:///etc/passwd\r\n"); },
         {QStringLiteral("c.example")}, QStringLiteral("file:///etc/passwd")},
        {"nothing valid", [&] { return text(QStringLiteral("javascript:alert(1)\ndata:text/html,<b>")); }, {},
         QStringLiteral("no web address")},
        {"too large", [&] { return text(QString(ClipboardContent::kMaxTextBytes + 1, QLatin1Char('a'))); }, {},
         QStringLiteral("too large")},
        {"too many", [&] { return text(tooMany); }, {}, QStringLiteral("Too many")},
        {"malformed nodes", [&] { return mime(kNodesType, "{\"schemaVersion\": 1, \"rootNode\": ["); }, {},
         QStringLiteral("could not be read")},
        {"nodes too large", [&] { return mime(kNodesType, QByteArray(ClipboardContent::kMaxNodesBytes + 1, ' ')); }, {},
         QStringLiteral("too large")},
    };
    const WorkspaceNode example = named(QStringLiteral("Example"));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QStringList before = under(QStringLiteral("Today"));
        QGuiApplication::clipboard()->setMimeData(row.data());
        select(QStringLiteral("Example"));
        actions().paste->trigger();
        QStringList expected = before;
        for (qsizetype i = 0; i < row.added.size(); ++i)
            expected.insert(1 + i, row.added[i]);
        EXPECT_EQ(under(QStringLiteral("Today")), expected);
        EXPECT_TRUE(status().contains(row.statusHas)) << status().toStdString();
        if (!row.added.isEmpty()) {
            QTest::keyClick(view->outline(), Qt::Key_Z, Qt::ControlModifier);
            EXPECT_EQ(under(QStringLiteral("Today")), before);
        }
    }
    EXPECT_FALSE(model().alertMessage());
}

TEST_F(MovesTest, ClipboardKeysInATextFieldStayWithTheText)
{
    select(QStringLiteral("C456"));
    QTest::keyClick(view->outline(), Qt::Key_F, Qt::ControlModifier);
    QTest::keyClicks(view->searchField(), QStringLiteral("c45"));
    view->searchField()->selectAll();
    QTest::keyClick(view->searchField(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("c45"));
    EXPECT_FALSE(QGuiApplication::clipboard()->mimeData()->hasFormat(kNodesType));
    QGuiApplication::clipboard()->setText(QStringLiteral("https://typed.example/"));
    const QStringList before = shape();
    QTest::keyClick(view->searchField(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(view->searchField()->text(), QStringLiteral("https://typed.example/"));
    EXPECT_EQ(shape(), before);
}

} // namespace

int main(int argc, char **argv)
{
    return runGuiTests(argc, argv);
}

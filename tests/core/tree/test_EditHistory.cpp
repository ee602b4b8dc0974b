// Undo, redo and the trash against a real database file: random edits with
// undo and redo at random points and restarts in between, checked against a
// plain list of the states the tree went through.
#include "RawDatabase.h"
#include "TestNodes.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"
#include "storage/WorkspaceStore.h"
#include "tree/TreeViewModel.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <random>
#include <set>

using namespace tarni;
using tarni::testing::RawDatabase;

namespace {

const Timestamp kT0 = Timestamp(std::chrono::seconds(1'700'000'000));

// The stored JSON forms, order-free: what a reload gives back.
std::multiset<std::string> jsonForms(const NodeList &nodes)
{
    std::multiset<std::string> forms;
    for (const WorkspaceNode &node : nodes)
        forms.insert(*json::encode(node));
    return forms;
}

std::set<QUuid> trashIDs(const QList<TrashSummary> &entries)
{
    std::set<QUuid> ids;
    for (const auto &entry : entries)
        ids.insert(entry.id);
    return ids;
}

class EditHistoryTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<WorkspaceStore> store;
    std::unique_ptr<TreeViewModel> model;
    Timestamp now = kT0;

    std::filesystem::path path() const { return std::filesystem::path(dir.path().toStdString()) / "workspace.sqlite"; }

    void SetUp() override { reopen(); }

    // A new connection and a new model, as after a restart.
    void reopen()
    {
        model.reset();
        store = std::make_unique<WorkspaceStore>(path());
        model = std::make_unique<TreeViewModel>(*store);
        model->setClock([this] { return now += std::chrono::seconds(1), now; });
        ASSERT_TRUE(model->load());
    }

    // The database as another connection reads it.
    std::multiset<std::string> stored()
    {
        WorkspaceStore fresh(path(), WorkspaceStore::OpenMode::readOnly);
        auto nodes = fresh.fetchNodes(model->workspace()->id);
        EXPECT_TRUE(nodes) << nodes.error().description().toStdString();
        return nodes ? jsonForms(*nodes) : std::multiset<std::string>{};
    }

    QUuid add(const QString &title, std::optional<QUuid> parent = std::nullopt)
    {
        auto added = model->addGroup(title, parent);
        EXPECT_TRUE(added);
        return added->id();
    }

    std::string childTitles(std::optional<QUuid> parent)
    {
        QStringList titles;
        for (const auto &node : model->displayedChildren(parent))
            titles << node.title();
        return titles.join(QLatin1Char(' ')).toStdString();
    }
};

} // namespace

TEST_F(EditHistoryTest, RandomEditsUndoRedoAndRestartsMatchTheStatesTheTreeWentThrough)
{
    struct State {
        std::multiset<std::string> nodes;
        std::set<QUuid> trash;
    };
    auto current = [&] {
        auto trash = model->trash();
        EXPECT_TRUE(trash);
        return State{jsonForms(model->nodes()), trashIDs(*trash)};
    };
    std::mt19937 rng(20261207);
    auto pick = [&](qsizetype n) { return qsizetype(std::uniform_int_distribution<qsizetype>(0, n - 1)(rng)); };
    auto someNode = [&]() -> std::optional<QUuid> {
        if (model->nodes().isEmpty())
            return std::nullopt;
        return model->nodes()[pick(model->nodes().size())].id();
    };

    // states[0..cursor] can be reached by undo, states[cursor+1..] by redo.
    std::vector<State> states{current()};
    std::size_t cursor = 0;
    int undos = 0, redos = 0, restarts = 0;
    for (int step = 0; step < 400; ++step) {
        const int what = int(pick(15));
        if (what < 3) {
            auto undone = model->undo();
            ASSERT_EQ(bool(undone), cursor > 0) << step;
            if (undone) {
                --cursor;
                ++undos;
            }
        } else if (what < 5) {
            auto redone = model->redo();
            ASSERT_EQ(bool(redone), cursor + 1 < states.size()) << step;
            if (redone) {
                ++cursor;
                ++redos;
            }
        } else if (what == 5) {
            reopen();
            ++restarts;
        } else {
            const auto target = someNode();
            bool edited = true;
            switch (what) {
            case 6:
                add(QStringLiteral("n%1").arg(step), pick(2) ? target : std::nullopt);
                break;
            case 7:
                edited = target && model->rename(*target, QStringLiteral("r%1").arg(step));
                break;
            case 8:
                edited = target && model->toggleCollapse(*target);
                break;
            case 9: {
                const auto parent = someNode();
                const auto before = jsonForms(model->nodes());
                edited = target && model->move(*target, pick(3) ? parent : std::nullopt, pick(4));
                edited = edited && jsonForms(model->nodes()) != before;
                break;
            }
            case 10:
                edited = target && model->deleteNode(*target);
                break;
            case 11:
                edited = target && model->duplicateSubtree(*target);
                break;
            case 12: {
                // An import of several nodes, two levels deep: one step.
                const QUuid workspace = model->workspace()->id;
                NodeList imported{tarni::testing::groupNode(QStringLiteral("import"), std::nullopt, 0, workspace)};
                for (int i = 0; i < 3; ++i)
                    imported << tarni::testing::groupNode(QStringLiteral("item %1").arg(i), imported[0].id(), i, workspace);
                edited = bool(model->appendNodes(imported, std::nullopt));
                break;
            }
            case 13: {
                // Several edits as one step, each written as it is made.
                const State before = current();
                {
                    auto command = model->beginCommand(nullptr);
                    for (int i = 0; i < 3; ++i) {
                        const auto node = someNode();
                        const QString title = QStringLiteral("c%1.%2").arg(step).arg(i);
                        auto trash = model->trash();
                        switch (pick(4)) {
                        case 0:
                            if (node)
                                (void)model->deleteNode(*node);
                            break;
                        case 1:
                            if (node)
                                (void)model->rename(*node, title);
                            break;
                        case 2:
                            (void)model->deleteNode(add(title, node));
                            break;
                        default:
                            if (trash && !trash->isEmpty())
                                (void)model->restoreFromTrash((*trash)[pick(trash->size())].id);
                            break;
                        }
                    }
                }
                const State after = current();
                edited = after.nodes != before.nodes || after.trash != before.trash;
                break;
            }
            default: {
                auto trash = model->trash();
                ASSERT_TRUE(trash);
                edited = !trash->isEmpty() && model->restoreFromTrash((*trash)[pick(trash->size())].id);
                break;
            }
            }
            if (edited) {
                states.resize(cursor + 1);
                states.push_back(current());
                ++cursor;
            }
        }
        const State expected = states[cursor];
        const State actual = current();
        ASSERT_EQ(actual.nodes, expected.nodes) << "step " << step;
        ASSERT_EQ(actual.trash, expected.trash) << "step " << step;
        ASSERT_EQ(stored(), expected.nodes) << "step " << step;
    }
    EXPECT_GT(undos, 40);
    EXPECT_GT(redos, 10);
    EXPECT_GT(restarts, 10);

    // Back to the start across a restart, then forward again.
    reopen();
    while (cursor > 0) {
        ASSERT_TRUE(model->undo());
        --cursor;
    }
    EXPECT_FALSE(model->undo());
    EXPECT_EQ(stored(), states[0].nodes);
    ASSERT_TRUE(model->redo());
    EXPECT_EQ(stored(), states[1].nodes);
}

TEST_F(EditHistoryTest, StepsAreNamedAndBoundedAndANewEditDropsTheRedoBranch)
{
    const QUuid id = add(QStringLiteral("Research"));
    for (int i = 0; i < 205; ++i)
        ASSERT_TRUE(model->rename(id, QStringLiteral("t%1").arg(i)));
    EXPECT_EQ(model->history().size(), kMaxHistorySteps);
    EXPECT_EQ(model->nextUndo()->action, QStringLiteral("Rename"));
    EXPECT_EQ(model->nextUndo()->subject, QStringLiteral("t204"));
    for (int i = 0; i < kMaxHistorySteps; ++i)
        ASSERT_TRUE(model->undo()) << i;
    auto none = model->undo();
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, TreeViewModelError::Kind::refused);
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("t4"));

    // A command is one step whatever it is made of.
    ASSERT_TRUE(model->redo());
    {
        auto command = model->beginCommand("Capture Window", QStringLiteral("Chrome Window"));
        const QUuid group = add(QStringLiteral("Chrome Window"));
        add(QStringLiteral("tab 1"), group);
        add(QStringLiteral("tab 2"), group);
    }
    EXPECT_FALSE(model->nextRedo()) << "the new edit dropped the redo branch";
    EXPECT_EQ(model->nextUndo()->action, QStringLiteral("Capture Window"));
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(model->nodes().size(), 1);
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("t5"));
}

TEST_F(EditHistoryTest, AStepThatDoesNotDecodeIsReportedAndClearedWithoutBlockingTheWorkspace)
{
    const QUuid id = add(QStringLiteral("Keep"));
    ASSERT_TRUE(model->rename(id, QStringLiteral("Kept")));
    {
        RawDatabase raw(path());
        raw.exec("UPDATE edit_history_records SET payload_json = '{\"id\": 3' WHERE step = "
                 "(SELECT max(seq) FROM edit_history)");
    }
    reopen();
    ASSERT_EQ(model->nodes().size(), 1);
    auto undone = model->undo();
    ASSERT_FALSE(undone);
    EXPECT_TRUE(undone.error().description().contains(QStringLiteral("undo history")));
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("Kept"));
    EXPECT_TRUE(model->history().isEmpty());
    // Editing goes on as before, with a new history.
    ASSERT_TRUE(model->rename(id, QStringLiteral("Again")));
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("Kept"));
}

TEST_F(EditHistoryTest, AStepWhoseRecordsChangedOutsideTheHistoryIsRefused)
{
    const QUuid id = add(QStringLiteral("A"));
    ASSERT_TRUE(model->rename(id, QStringLiteral("B")));
    auto writeOutside = [&](auto change) {
        WorkspaceStore other(path());
        auto nodes = other.fetchNodes(model->workspace()->id);
        ASSERT_TRUE(nodes);
        change((*nodes)[0]);
        ASSERT_TRUE(other.replaceNodes(*nodes, model->workspace()->id));
    };
    // A new stamp alone does not block the step.
    writeOutside([](WorkspaceNode &node) { node.edit().updatedAt = Timestamp{std::chrono::seconds(1'900'000'000)}; });
    ASSERT_TRUE(model->load());
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("A"));
    ASSERT_TRUE(model->redo());
    // Another program wrote the row since.
    writeOutside([](WorkspaceNode &node) { node.setTitle(QStringLiteral("C")); });
    ASSERT_TRUE(model->load());
    EXPECT_FALSE(model->undo());
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("C"));
    EXPECT_FALSE(model->nextUndo());
}

TEST_F(EditHistoryTest, TrashKeepsDeletedSubtreesAndRestoresThemWhereTheyWere)
{
    const QUuid parent = add(QStringLiteral("P"));
    const QUuid a = add(QStringLiteral("A"), parent);
    const QUuid b = add(QStringLiteral("B"), parent);
    add(QStringLiteral("B1"), b);
    const QUuid c = add(QStringLiteral("C"), parent);
    const auto bRecords = jsonForms(NodeList{*model->node(b), model->nodes()[3]});

    ASSERT_TRUE(model->deleteNode(b));
    EXPECT_EQ(stored().size(), 3u) << "the nodes table holds only the live tree";
    auto trash = model->trash();
    ASSERT_TRUE(trash);
    ASSERT_EQ(trash->size(), 1);
    EXPECT_EQ((*trash)[0].title, QStringLiteral("B"));
    EXPECT_EQ((*trash)[0].nodeCount, 2);
    auto entry = store->fetchTrashEntry((*trash)[0].id);
    ASSERT_TRUE(entry && *entry);
    EXPECT_EQ(jsonForms((*entry)->nodes), bRecords) << "the trash keeps the records as they were";

    // Undo takes the subtree back out of the trash; redo puts it back.
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(childTitles(parent), "A B C");
    EXPECT_TRUE(model->trash()->isEmpty());
    ASSERT_TRUE(model->redo());
    EXPECT_EQ(model->trash()->size(), 1);

    // Siblings moved meanwhile: it goes back to its old index.
    ASSERT_TRUE(model->move(c, parent, 0));
    ASSERT_TRUE(model->restoreFromTrash((*trash)[0].id));
    EXPECT_EQ(childTitles(parent), "C B A");
    EXPECT_EQ(childTitles(b), "B1");
    EXPECT_TRUE(model->trash()->isEmpty());
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(model->trash()->size(), 1) << "undoing a restore puts the entry back";
    ASSERT_TRUE(model->redo());

    // Its parent gone: to the top level.
    ASSERT_TRUE(model->deleteNode(a));
    ASSERT_TRUE(model->deleteNode(parent));
    trash = model->trash();
    ASSERT_EQ(trash->size(), 2);
    EXPECT_EQ((*trash)[0].title, QStringLiteral("P")) << "newest first";
    ASSERT_TRUE(model->restoreFromTrash((*trash)[1].id));
    EXPECT_EQ(childTitles(std::nullopt), "A");
    EXPECT_FALSE(model->restoreFromTrash((*trash)[1].id)) << "an entry restores once";

    // Erasing for good also forgets the steps that could bring it back;
    // expiry erases only what is older than the cutoff.
    const Timestamp cutoff = now;
    const QUuid late = add(QStringLiteral("late"));
    ASSERT_TRUE(model->deleteNode(late));
    auto expired = model->eraseTrashDeletedBefore(cutoff + std::chrono::seconds(1));
    ASSERT_TRUE(expired);
    EXPECT_EQ(*expired, 1);
    EXPECT_EQ(model->trash()->size(), 1);
    EXPECT_EQ(model->nextUndo()->action, QStringLiteral("Delete"));
    ASSERT_TRUE(model->emptyTrash());
    EXPECT_TRUE(model->trash()->isEmpty());
    EXPECT_FALSE(model->nextUndo()) << "the steps up to the erased deletes are gone";
    RawDatabase raw(path());
    EXPECT_EQ(raw.rows("SELECT count(*) FROM trash_nodes"), std::vector<std::string>{"0"});
}

TEST_F(EditHistoryTest, ADatabaseWithoutTheNewTablesOpensAndReadsUnchanged)
{
    const QUuid id = add(QStringLiteral("old"));
    model.reset();
    store.reset();
    {
        RawDatabase raw(path());
        raw.exec("DROP TABLE edit_history; DROP TABLE edit_history_records; DROP TABLE trash; DROP TABLE trash_nodes;");
    }
    WorkspaceStore reader(path(), WorkspaceStore::OpenMode::readOnly);
    auto workspace = reader.fetchWorkspace();
    ASSERT_TRUE(workspace && *workspace);
    EXPECT_TRUE(reader.fetchTrash((*workspace)->id)->isEmpty());
    EXPECT_TRUE(reader.fetchHistory((*workspace)->id)->isEmpty());
    reopen();
    ASSERT_TRUE(model->deleteNode(id));
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(model->node(id)->title(), QStringLiteral("old"));
}

// A big write runs on another thread while the event loop goes on: a timer
// ticks meanwhile, an edit asked for then is refused, and one handed to
// whenIdle follows the write as a step of its own.
TEST_F(EditHistoryTest, ABigWriteLetsTheEventLoopTurnAndEditsWaitForIt)
{
    int argc = 1;
    char name[] = "test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    model->setWritesOffThread(true);

    const QUuid big = add(QStringLiteral("big"));
    const QUuid kept = add(QStringLiteral("kept"));
    NodeList children;
    for (int i = 0; i < int(TreeViewModel::kThreadedWriteRecords) * 2; ++i)
        children.append(tarni::testing::groupNode(QStringLiteral("c%1").arg(i), big, i, model->workspace()->id));
    ASSERT_TRUE(model->appendNodes(children, big));

    QList<bool> writing;
    QObject::connect(model.get(), &TreeViewModel::writingChanged, [&](bool on) { writing.append(on); });
    int ticksWhileWriting = 0;
    std::optional<bool> editDuringWrite;
    QObject context;
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (!model->isWriting())
            return;
        if (++ticksWhileWriting > 1)
            return;
        editDuringWrite = bool(model->rename(kept, QStringLiteral("too early")));
        model->whenIdle(&context, [&] { ASSERT_TRUE(model->rename(kept, QStringLiteral("after"))); });
    });
    tick.start();
    ASSERT_TRUE(model->deleteNode(big));
    EXPECT_EQ(writing, (QList<bool>{true, false}));
    EXPECT_GT(ticksWhileWriting, 0) << "the event loop turned during the write";
    ASSERT_TRUE(editDuringWrite);
    EXPECT_FALSE(*editDuringWrite) << "an edit cannot come between the write and what follows it";
    EXPECT_EQ(model->node(kept)->title(), QStringLiteral("kept")) << "the waiting edit runs from the event loop";

    QCoreApplication::processEvents();
    tick.stop();
    EXPECT_EQ(childTitles(std::nullopt), "after");
    EXPECT_EQ(stored(), jsonForms(model->nodes()));
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(childTitles(std::nullopt), "kept");
    ASSERT_TRUE(model->undo());
    EXPECT_EQ(model->nodes().size(), children.size() + 2);
    reopen();
    EXPECT_EQ(model->nodes().size(), children.size() + 2);
}

#pragma once

#include "model/NodeList.h"
#include "model/Workspace.h"
#include "model/EntryRules.h"
#include "storage/EditHistory.h"
#include "storage/WorkspaceStoreProtocol.h"
#include "tree/TreeProjection.h"
#include "tree/TreeViewModelError.h"

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <optional>
#include <vector>

namespace tarni {

// Owns the loaded workspace and its flat node list, carries out every edit of
// the tree and writes the result to the store after each one.
//
// Sibling order: the children of one parent sort by ascending sortOrder.
// Structural edits (move, delete, duplicate, replace all) renumber sibling
// groups to 0, 1, 2, ...; adding gives the largest sibling value plus 1;
// rename, collapse and the open stamp leave the order alone.
//
// The projection (children in display order, search filter) is kept up to
// date with every edit instead of being rebuilt, and the store is handed the
// whole list, of which it writes only the rows that changed; for edits that
// change records in place or add nodes, it is also told where, so that
// neither side compares or copies the whole list.
class TreeViewModel : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<Timestamp()>;

    explicit TreeViewModel(WorkspaceStoreProtocol &store, QObject *parent = nullptr);

    const std::optional<Workspace> &workspace() const { return m_workspace; }
    const NodeList &nodes() const { return m_nodes; }
    const QString &searchQuery() const { return m_searchQuery; }
    void setSearchQuery(const QString &query);
    // How many matching nodes a search shows at most (TreeProjection::
    // setMatchLimit); a view that lays out every shown row sets it.
    void setSearchMatchLimit(std::optional<std::size_t> limit);

    // Reads (or creates) the workspace and reads its nodes, unchanged. When
    // either read fails the model is not loaded: every edit then loads again
    // first and fails with that load's error, so nothing is ever written
    // over rows that were not read. From a store that reads only part of the
    // tree (WorkspaceStoreProtocol::readsPartialTree) the sibling groups are
    // taken as numbered: an edit renumbers only the groups it touches, which
    // the part must hold whole.
    TreeResult<void> load();
    bool isLoaded() const { return m_loaded; }
    // Reads the tree again after another connection changed it (changes
    // received from other machines) and takes in the difference as an edit
    // that views show as rows added, removed, moved or changed: no reset,
    // and selections stay. Orders are taken as stored, never renumbered, and
    // nothing is written. Loads when nothing was loaded yet.
    TreeResult<void> takeInStoredChanges();

    // The first node with that identifier.
    std::optional<WorkspaceNode> node(const std::optional<QUuid> &id) const;
    // The whole displayed tree, filtered by the search query.
    QList<WorkspaceTreeNode> displayedTree() const;
    // The displayed children of a node (absent: the top level), filtered.
    QList<WorkspaceNode> displayedChildren(const std::optional<QUuid> &parentID) const;
    const TreeProjection &projection() const { return m_projection; }

    // Every add, and rename, refuses (invalidEntry) what the entry rules do
    // not accept: see EntryRules.
    TreeResult<WorkspaceNode> addGroup(const QString &title, const std::optional<QUuid> &parentID = std::nullopt);
    // Titled `title` when given, else the address's host.
    TreeResult<WorkspaceNode> addWebLink(const QString &url, const std::optional<QString> &title = std::nullopt,
                                         const std::optional<QUuid> &parentID = std::nullopt);
    TreeResult<WorkspaceNode> addChromeTarget(const BrowserTarget &target,
                                              const std::optional<QUuid> &parentID = std::nullopt);
    // `nodeID` gives the node a known identifier (unused by any node, in the
    // tree or the trash); by default it gets a fresh one.
    TreeResult<WorkspaceNode> addSlackPermalink(const QString &text,
                                                const std::optional<QUuid> &parentID = std::nullopt,
                                                const std::optional<QUuid> &nodeID = std::nullopt);
    // `url` is a file URL. No bookmark is taken on this platform.
    TreeResult<WorkspaceNode> addFile(const QUrl &url, bool isFolder,
                                      const std::optional<QUuid> &parentID = std::nullopt);

    // Unknown identifiers change and write nothing.
    TreeResult<void> rename(const QUuid &nodeID, const QString &title);
    TreeResult<void> toggleCollapse(const QUuid &nodeID);
    // Writes nothing when the node already is in that state, so a view that
    // reports its own expansion cannot start an echo.
    TreeResult<void> setCollapsed(const QUuid &nodeID, bool collapsed);
    TreeResult<void> markNodeOpened(const QUuid &nodeID);
    // `index` counts positions among the new siblings with the moved node
    // taken out; it is clamped. Without it the node keeps the place its
    // sortOrder gives it. Fails, changing nothing, as canMove() says.
    TreeResult<void> move(const QUuid &nodeID, const std::optional<QUuid> &newParentID,
                          std::optional<qsizetype> index = std::nullopt);
    // Why move() would refuse: either node is not in the tree (unknownNode),
    // or the new parent is the node or lies below it (cycle). Cheap enough
    // for every drag-move event: it climbs from the new parent, it does not
    // walk the moved subtree.
    std::optional<TreeViewModelError> canMove(const QUuid &nodeID, const std::optional<QUuid> &newParentID) const;
    // Removes the node and everything below it.
    TreeResult<void> deleteNode(const QUuid &nodeID);
    // Copies the node and its subtree; the copy goes after the node's
    // siblings. Returns the copies (top node first) with the sort orders they
    // had before renumbering.
    TreeResult<NodeList> duplicateSubtree(const QUuid &nodeID);
    TreeResult<void> replaceAllNodes(const NodeList &nodes);
    // Adds imported nodes (parents before children) after the current list.
    // The ones that go directly under `parentID` are placed after its
    // present children, in their own order, then everything is renumbered.
    TreeResult<void> appendNodes(NodeList nodes, const std::optional<QUuid> &parentID);

    // Moves every node that no tree can show (see UnreachableNodes), with
    // what hangs below it, under a new top-level group titled `groupTitle`,
    // written in one go. Returns the new group, or none when every node was
    // reachable (nothing is written then).
    TreeResult<std::optional<WorkspaceNode>> recoverUnreachableNodes(const QString &groupTitle);

    // Undo and redo. Every edit above is one step, named by its action and
    // usually the node's title, stored with the records it changed before
    // and after, in the same transaction as the edit; the open stamp is not
    // a step. Undo puts the step's records back exactly as they were; it is
    // refused when the records it would change are no longer the ones the
    // step left (the history is then cleared, since no older step can apply
    // either). A new edit drops the steps that could be redone.
    const QList<HistoryEntry> &history() const { return m_history; }
    std::optional<HistoryEntry> nextUndo() const;
    std::optional<HistoryEntry> nextRedo() const;
    // The step that was undone (or redone).
    TreeResult<HistoryEntry> undo();
    TreeResult<HistoryEntry> redo();
    // Why the stored history could not be read at the latest load; empty
    // when it could. The workspace opens either way.
    const QString &historyError() const { return m_historyError; }
    // "Delete “Research”" in the current language.
    static QString stepLabel(const HistoryEntry &entry);
    // Forgets every step (a freshly seeded workspace starts without any).
    TreeResult<void> clearHistory();

    // Groups every edit made while it lives into one step named `action`
    // (an English text key) and `subject`. Commands do not nest: an inner
    // one joins the outer one. Without an action the step takes the name of
    // an inner command or, failing that, of its first edit.
    class Command {
    public:
        Command(Command &&other) noexcept;
        Command(const Command &) = delete;
        Command &operator=(const Command &) = delete;
        Command &operator=(Command &&) = delete;
        ~Command();

    private:
        friend class TreeViewModel;
        explicit Command(TreeViewModel *model)
            : m_model(model)
        {
        }
        QPointer<TreeViewModel> m_model;
    };
    [[nodiscard]] Command beginCommand(const char *action, const QString &subject = {});
    // Names the next edit's step instead of the name the edit gives it.
    void nameNextStep(const char *action, const QString &subject = {});

    // The trash: deleteNode moves the subtree here (in the same transaction)
    // instead of erasing it. Restoring, erasing and emptying change the tree
    // or the trash only; restoring is a step, erasing is for good and also
    // forgets the steps that could bring an erased entry back.
    TreeResult<QList<TrashSummary>> trash();
    // Whether a trash entry holds a node with that identifier.
    TreeResult<bool> trashHolds(const QUuid &nodeID);
    // Puts the entry back under its old parent at its old position (clamped),
    // or at the top level when that parent is gone. Gives the top node.
    TreeResult<WorkspaceNode> restoreFromTrash(const QUuid &entryID);
    TreeResult<std::int64_t> eraseFromTrash(const QList<QUuid> &entryIDs);
    TreeResult<std::int64_t> emptyTrash();
    // After trash entries were erased through another connection (as
    // eraseFromTrash does): reads the history again and tells the views.
    void trashErasedElsewhere();
    // Erases the entries deleted before `cutoff`.
    TreeResult<std::int64_t> eraseTrashDeletedBefore(Timestamp cutoff);

    // For tests and tools that need fixed times.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Writes of many records (a big delete, its undo, an import) and the
    // reading of an undo step or a trash entry then run on a thread of their
    // own, while this thread's event loop goes on turning without user input
    // and socket notifiers: the window repaints, and the call still returns
    // only once the write is on disk. Needs a store that can be used from
    // another thread (WorkspaceStoreProtocol::usableFromOtherThreads).
    void setWritesOffThread(bool on);
    // While such a write runs. Every edit is then refused; timers and queued
    // calls that would edit the tree or use the store wait (whenIdle).
    bool isWriting() const { return m_writing; }
    // Runs `work` now, or after the running write, in the order asked;
    // dropped when `context` is destroyed before.
    void whenIdle(QObject *context, std::function<void()> work);
    // At least this many records written make a write go to the thread.
    static constexpr qsizetype kThreadedWriteRecords = 1000;

    // What the edit announced by the latest nodesChanged touched, for views
    // that follow edits without comparing the whole tree: the nodes it
    // added, moved, removed or changed in place, each with the parent it
    // had before (none for a new node). Not `known` when the edit replaced
    // the whole list.
    struct TouchedNode {
        QUuid id;
        bool isNew = false;
        std::optional<QUuid> formerParentID;
    };
    struct EditScope {
        bool known = false;
        // Only records changed in place (rename, collapse, open stamp).
        bool inPlace = false;
        QList<TouchedNode> nodes;
    };
    const EditScope &lastEdit() const { return m_lastEdit; }

Q_SIGNALS:
    void workspaceChanged();
    void nodesChanged();
    // The whole list was replaced (load, replace all, large import): every
    // projection slot may now hold another node. Followed by nodesChanged.
    void nodesReset();
    void searchQueryChanged();
    // One node's record changed in place (title, collapse, open stamp); the
    // tree's shape did not. Followed by nodesChanged.
    void nodeUpdated(const QUuid &nodeID);
    // After each write of an edit: the store refused it (the tree shown then
    // holds changes the store does not), or took it.
    void writeFailed(const QString &description);
    void writeSucceeded();
    // The undo history or the trash changed.
    void historyChanged();
    void trashChanged();
    // A write went to the thread (true) and came back (false).
    void writingChanged(bool writing);

private:
    TreeResult<void> ensureLoaded();
    // After a write the store refused because another program changed the
    // nodes: reads the tree again and tells so.
    bool reloadIfChangedElsewhere(const TreeViewModelError &error);
    TreeResult<WorkspaceNode> addNode(WorkspaceNodeKind kind, const QString &title, const NodePayload &payload,
                                      const std::optional<QUuid> &parentID,
                                      const std::optional<QUuid> &nodeID = std::nullopt);
    void appendNode(const WorkspaceNode &node);
    void resetNodes(const NodeList &nodes);
    void scheduleSearchIndexing();
    void removeSlots(const std::vector<TreeProjection::SlotId> &slots);
    void applyRenumber(const std::optional<QUuid> &overridingParentID = std::nullopt,
                       const std::optional<QUuid> &movedNodeID = std::nullopt,
                       std::optional<qsizetype> desiredIndex = std::nullopt);
    void storeSlot(TreeProjection::SlotId slot);
    // Before the record at `position` changes in place.
    void noteInPlaceChange(qsizetype position);
    // Before the nodes at `positions` (ascending) are removed: records them
    // by position, or says that m_base has to be made whole instead.
    bool noteRemoval(const QList<qsizetype> &positions);
    // Before an edit the positions cannot describe: m_base made whole.
    void keepWholeBase();
    // The list as it is now becomes the base.
    void rebase();
    // Where the base held the node at `position`; -1 for a node added since.
    qsizetype basePosition(qsizetype position) const;
    // Ascending by base position: the base positions and present positions
    // of the nodes changed in place since the base.
    std::vector<std::pair<qsizetype, qsizetype>> changedSinceBase() const;
    // What changed since the latest write, for the store.
    NodeListEdit changesSinceWrite() const;
    // The step's records when m_base is not whole.
    void recordChangesSinceBase(HistoryStep &step) const;
    // `action` names the step; none: the change is no step (the open stamp).
    template <class Edit>
    TreeResult<void> editInPlace(const QUuid &nodeID, Edit edit, const char *action);
    QSet<QUuid> subtreeIDs(const QUuid &nodeID) const;
    struct StepName {
        QString action;
        QString subject;
    };
    TreeResult<void> persist();
    TreeResult<void> persistWithHistory(HistoryWrite history, bool comparable = true);
    void endCommand();
    void reloadHistory();
    void takeHistory(StoreResult<QList<HistoryEntry>> history);
    // Runs `work` (store calls only) on a thread when `threaded` and writes
    // go off the thread, else here; returns when it is done.
    void runStoreWork(const std::function<void()> &work, bool threaded);
    void runDeferred();
    TreeResult<void> refuseWhileWriting() const;
    TreeResult<HistoryEntry> applyStep(const HistoryEntry &entry, bool undoing);

    Timestamp now() const { return m_clock(); }

    WorkspaceStoreProtocol &m_store;
    std::optional<Workspace> m_workspace;
    NodeList m_nodes;
    QString m_searchQuery;
    TreeProjection m_projection;
    // m_nodes[i] lives in projection slot m_slotAt[i]; m_positionOf maps back.
    std::vector<TreeProjection::SlotId> m_slotAt;
    std::vector<qsizetype> m_positionOf;
    Clock m_clock;
    EditScope m_lastEdit;
    bool m_indexingScheduled = false;
    bool m_loaded = false;

    // The list as the latest recorded step (or the running command) left
    // it; each write records the difference to it. While edits only change
    // records in place, remove a few nodes and add nodes at the end, the
    // list is not kept a second time (copying a large list would cost more
    // than the edit): m_formerRecords holds the records those edits replaced
    // or removed, by their position in the base, m_removedFromBase the
    // positions removed, the nodes after the base's remaining ones are new,
    // and m_base is empty. Any other edit makes m_base whole first.
    NodeList m_base;
    bool m_baseInPlace = false;
    qsizetype m_baseSize = 0;
    QHash<qsizetype, WorkspaceNode> m_formerRecords;
    QList<qsizetype> m_removedFromBase;
    QSet<QUuid> m_removedIDs;
    // An added node took an identifier that was in the list: removals are
    // then no longer told by position.
    bool m_addedRepeatsID = false;
    // Ascending: the positions, in the list as last written, of the nodes
    // removed since (a command writes more than once per base).
    QList<qsizetype> m_removedSinceWrite;
    std::optional<StepName> m_nextStepName;
    bool m_recordStep = true;
    QList<TrashEntry> m_pendingTrash;
    struct RunningCommand {
        StepName name;
        int depth = 0;
        std::optional<std::int64_t> sequence;
        QList<TrashEntry> trashAdded;
        QList<TrashEntry> trashRemoved;
    };
    std::optional<RunningCommand> m_command;
    QList<TrashEntry> m_pendingTrashRemoved;
    QList<HistoryEntry> m_history;
    QString m_historyError;
    bool m_writesOffThread = false;
    bool m_writing = false;
    struct Deferred {
        QPointer<QObject> context;
        std::function<void()> work;
    };
    QList<Deferred> m_deferred;
    bool m_deferredPosted = false;
};

} // namespace tarni

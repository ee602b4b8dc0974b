#pragma once

#include "model/EntryRules.h"
#include "model/Uuid.h"
#include "storage/StoreError.h"
#include "util/Localized.h"
#include "util/Result.h"

#include <QString>
#include <QUuid>

#include <optional>

namespace tarni {

// Why an edit of the tree failed: no workspace could be loaded, the store
// refused a read or write (the in-memory edit is kept in that case), or the
// edit names a node the tree does not hold or would put a node inside its own
// subtree (nothing is changed in either case).
struct TreeViewModelError {
    enum class Kind { missingWorkspace, store, refused, unknownNode, cycle, invalidEntry };
    Kind kind = Kind::missingWorkspace;
    std::optional<StoreError> storeError;
    // What the entry rules found wrong with a value to be added (invalidEntry).
    std::optional<EntryProblem> entryProblem;
    // Why a command could not run (nothing to undo, an entry that is gone…),
    // already in the person's language.
    QString reason;
    // The node that is missing, or the one that would go into its own subtree.
    QUuid nodeID;

    static TreeViewModelError missingWorkspace() { return {Kind::missingWorkspace, std::nullopt, {}, {}, {}}; }
    static TreeViewModelError store(StoreError error) { return {Kind::store, std::move(error), {}, {}, {}}; }
    static TreeViewModelError refused(QString reason)
    {
        return {Kind::refused, std::nullopt, {}, std::move(reason), {}};
    }
    static TreeViewModelError unknownNode(const QUuid &id) { return {Kind::unknownNode, std::nullopt, {}, {}, id}; }
    static TreeViewModelError cycle(const QUuid &id) { return {Kind::cycle, std::nullopt, {}, {}, id}; }
    static TreeViewModelError invalidEntry(EntryProblem problem)
    {
        return {Kind::invalidEntry, std::nullopt, problem, {}, {}};
    }

    // In English; the window shows it through localized().
    QString description() const
    {
        switch (kind) {
        case Kind::store:
            if (storeError)
                return storeError->description();
            break;
        case Kind::refused:
            return reason;
        case Kind::unknownNode:
            return QStringLiteral("no node %1 in the workspace").arg(uuidQString(nodeID));
        case Kind::cycle:
            return QString::fromUtf8(textKey("A node cannot move under itself or one of its descendants."));
        case Kind::invalidEntry:
            if (entryProblem)
                return QString::fromUtf8(entryProblemText(*entryProblem));
            break;
        case Kind::missingWorkspace:
            break;
        }
        return QStringLiteral("No workspace could be loaded.");
    }
};

template <class T>
using TreeResult = Result<T, TreeViewModelError>;

} // namespace tarni

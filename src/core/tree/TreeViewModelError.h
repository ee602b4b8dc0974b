#pragma once

#include "model/EntryRules.h"
#include "storage/StoreError.h"
#include "util/Result.h"

#include <QString>

#include <optional>

namespace tarni {

// Why an edit of the tree failed: no workspace could be loaded, or the store
// refused a read or write (the in-memory edit is kept in that case).
struct TreeViewModelError {
    enum class Kind { missingWorkspace, store, refused, invalidEntry };
    Kind kind = Kind::missingWorkspace;
    std::optional<StoreError> storeError;
    // What the entry rules found wrong with a value to be added (invalidEntry).
    std::optional<EntryProblem> entryProblem;
    // Why a command could not run (nothing to undo, an entry that is gone…),
    // already in the person's language.
    QString reason;

    static TreeViewModelError missingWorkspace() { return {Kind::missingWorkspace, std::nullopt, {}, {}}; }
    static TreeViewModelError store(StoreError error) { return {Kind::store, std::move(error), {}, {}}; }
    static TreeViewModelError refused(QString reason)
    {
        return {Kind::refused, std::nullopt, {}, std::move(reason)};
    }
    static TreeViewModelError invalidEntry(EntryProblem problem) { return {Kind::invalidEntry, std::nullopt, problem, {}}; }

    QString description() const
    {
        if (kind == Kind::store && storeError)
            return storeError->description();
        if (kind == Kind::refused)
            return reason;
        if (kind == Kind::invalidEntry && entryProblem)
            return QString::fromUtf8(entryProblemText(*entryProblem));
        return QStringLiteral("No workspace could be loaded.");
    }
};

template <class T>
using TreeResult = Result<T, TreeViewModelError>;

} // namespace tarni

#pragma once

// What the commands share: argument parsing, and opening the workspace for
// reading or for an edit.

#include "CliCommand.h"

#include "app/WorkspaceImport.h"
#include "archive/SnapshotRetention.h"
#include "common/InstanceLock.h"
#include "storage/WorkspaceStore.h"
#include "tree/TreeViewModel.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <QUuid>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

namespace tarni::cli {

// Options and positional arguments. "--" ends the options, so that a title
// may start with a dash.
struct Arguments {
    QStringList positional;
    QHash<QString, QString> values;
    QSet<QString> flags;

    std::optional<QString> value(const char *name) const
    {
        auto it = values.constFind(QString::fromLatin1(name));
        return it == values.constEnd() ? std::nullopt : std::optional<QString>(*it);
    }
};

std::optional<Arguments> parseArguments(const QStringList &input, const QStringList &valueOptions,
                                        const QStringList &flagOptions);
// Prints the usage line and returns kExitUsage.
int usage(const char *text);
// A node identifier, or none (having said why).
std::optional<QUuid> parseID(const QString &text);
int reportTreeError(const TreeViewModelError &error);
// The user's snapshot retention settings, read as the application reads
// them, so that both keep the same snapshots.
RetentionPolicy userRetentionPolicy();

// The workspace as read without changing anything on disk.
struct ReadSession {
    std::unique_ptr<WorkspaceStore> store;
    std::optional<Workspace> workspace;
    NodeList nodes;
};

// The tree is loaded unless `withNodes` is false (a command that reads only
// snapshots or the trash need not pay for a large tree).
int openForReading(const CliContext &context, ReadSession &session, bool withNodes = true);

// Everything a write needs. The instance lock is held for the whole edit:
// the application takes the same lock for its whole run, so neither can
// start while the other writes.
struct EditSession {
    InstanceLock lock;
    std::unique_ptr<WorkspaceStore> store;
    std::unique_ptr<TreeViewModel> model;
    // Set when this command created the database. A command that fails
    // leaves no new empty database behind.
    std::filesystem::path createdDatabase;
    // The application holds the lock: the edit goes to it instead
    // (callApplication), and nothing here was opened or said.
    bool applicationRunning = false;

    EditSession() = default;
    EditSession(const EditSession &) = delete;
    EditSession &operator=(const EditSession &) = delete;
    ~EditSession();
};

// Adds an import through the one import path the application uses too (the
// entry rules, the automatic snapshot before a large import, one step).
// Returns kExitOk (and the report) or the exit code, having said why.
int importIntoWorkspace(EditSession &session, InteropImport imported, const std::optional<QUuid> &parent,
                        ImportReport &report);

// The part of the tree an edit reads (see WorkspaceStore::NodeScope), chosen
// once the workspace and its history are loaded; none: the whole tree.
using ScopeChoice = std::function<StoreResult<std::optional<WorkspaceStore::NodeScope>>(EditSession &session)>;

// kExitAppRunning, silently, when the application holds the lock (see
// EditSession::applicationRunning). With `scope`, the model holds only the
// rows it names: an edit of a few nodes then costs the same in any tree.
int openForEditing(const CliContext &context, EditSession &session, const ScopeChoice &scope = {});

// An identifier given on the command line must name a node of the tree.
int requireNode(const TreeViewModel &model, const QUuid &id);
// The node named by --under, if given.
int parseUnder(const Arguments &args, const TreeViewModel &model, std::optional<QUuid> &parent);
int printID(const QUuid &id);
// The node named by --under as the application takes it: empty when not
// given. Checks only the form; the application checks that it exists.
int parseUnderText(const Arguments &args, QString &parent);
// Prints the identifier the application answered with.
int printReplyID(const QVariantList &reply);

} // namespace tarni::cli

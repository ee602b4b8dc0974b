#pragma once

#include "storage/StoreError.h"

#include <QString>
#include <QStringList>

#include <filesystem>
#include <string_view>

namespace tarni::cli {

// Exit codes; `tarnibar-cli --help` lists them.
enum ExitCode : int {
    kExitOk = 0,
    kExitBadData = 1,        // records that do not decode
    kExitUsage = 2,          // unknown command or option, missing argument
    kExitNoRoot = 3,         // the data root does not exist or is not a directory
    kExitNoDatabase = 4,     // the root has no workspace.sqlite
    kExitLocked = 5,         // the database stayed locked by another program
    kExitCorrupt = 6,        // not a database, or the integrity check failed
    kExitFailed = 7,         // any other failure (I/O, permissions, a failed edit)
    kExitAppRunning = 8,     // a write was refused because the application is running
    kExitNothingNewer = 9,   // update check: the feed offers nothing newer
    kExitUpdateRefused = 10, // update check: the newest release was refused (bad signature, length, ...)
};

// The group that `repair` moves unreachable nodes under.
inline constexpr const char *kRecoveredGroupTitle = "Recovered";

struct CliContext {
    std::filesystem::path root;
    std::filesystem::path databasePath() const;
};

// Text from the workspace (or any other outside source) as one line that a
// terminal shows rather than obeys: line breaks and tabs become spaces,
// other control characters and bidirectional controls appear as \x1b or
// \u202e. Output for programs (--json) is escaped by its own rules.
QString visibleText(const QString &text);
// Messages go to standard error as one line each (passed through
// visibleText), prefixed with the tool's name.
void printError(const QString &message);
// Writes text to standard output as UTF-8.
void printOut(std::string_view text);
void printOut(const QString &text);

// Why a path cannot be used, for a message: "no such file", "permission
// denied" or the system's words (a loop of links, ...).
QString fileProblem(const std::error_code &error);
// Prints '<missing> at "path"' for a path that is not there, or why `what`
// cannot be used (a loop of links, no permission).
void reportUnusable(const std::filesystem::path &path, const std::error_code &error, const char *missing,
                    const char *what);
// Checks that the root is a directory, without creating it.
// Returns kExitOk or the exit code to end with (having printed why).
int requireRoot(const CliContext &context);
// Checks that the root and its database exist, without creating either.
// Returns kExitOk or the exit code to end with (having printed why).
int requireExistingDatabase(const CliContext &context);
// Prints a store failure and returns the matching exit code.
int reportStoreError(const StoreError &error);

using CliHandler = int (*)(CliContext &context, const QStringList &arguments);

struct CliCommand {
    const char *name;
    const char *usage;   // arguments, as shown in --help
    const char *summary; // one line
    CliHandler run;
};

// The commands, in the order --help lists them (CliCommands.cpp).
const CliCommand *findCommand(const QString &name);
QList<const CliCommand *> allCommands();

// Handlers.
int runCheck(CliContext &context, const QStringList &arguments);
int runNodes(CliContext &context, const QStringList &arguments);
// The tree commands (TreeCommands.cpp).
int runTree(CliContext &context, const QStringList &arguments);
int runAdd(CliContext &context, const QStringList &arguments);
int runRename(CliContext &context, const QStringList &arguments);
int runMove(CliContext &context, const QStringList &arguments);
int runDelete(CliContext &context, const QStringList &arguments);
int runDuplicate(CliContext &context, const QStringList &arguments);
int runCollapse(CliContext &context, const QStringList &arguments);
int runExport(CliContext &context, const QStringList &arguments);
int runImport(CliContext &context, const QStringList &arguments);
int runRepair(CliContext &context, const QStringList &arguments);
// Snapshots (SnapshotCommands.cpp).
int runSnapshot(CliContext &context, const QStringList &arguments);
// Updates (UpdateCommand.cpp).
int runUpdate(CliContext &context, const QStringList &arguments);
int runUndo(CliContext &context, const QStringList &arguments);
int runRedo(CliContext &context, const QStringList &arguments);
int runTrash(CliContext &context, const QStringList &arguments);
// Sync through a shared folder (SyncCommands.cpp).
int runSync(CliContext &context, const QStringList &arguments);

} // namespace tarni::cli

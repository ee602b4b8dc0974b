#include "CliSession.h"

#include "app/AppEnvironment.h"
#include "model/Uuid.h"

#include <QDateTime>
#include <QLocale>
#include <QSettings>
#include <QThread>

#include <chrono>

namespace tarni::cli {

std::optional<Arguments> parseArguments(const QStringList &input, const QStringList &valueOptions,
                                        const QStringList &flagOptions)
{
    Arguments parsed;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < input.size(); ++i) {
        const QString &arg = input[i];
        if (!optionsEnded && arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && valueOptions.contains(arg)) {
            if (i + 1 >= input.size()) {
                printError(QStringLiteral("%1 needs a value").arg(arg));
                return std::nullopt;
            }
            if (parsed.values.contains(arg)) {
                printError(QStringLiteral("%1 given twice").arg(arg));
                return std::nullopt;
            }
            parsed.values.insert(arg, input[++i]);
        } else if (!optionsEnded && flagOptions.contains(arg)) {
            parsed.flags.insert(arg);
        } else if (!optionsEnded && arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            printError(QStringLiteral("unknown option %1 (see --help)").arg(arg));
            return std::nullopt;
        } else {
            parsed.positional << arg;
        }
    }
    return parsed;
}

int usage(const char *text)
{
    printError(QStringLiteral("usage: tarnibar-cli %1").arg(QString::fromUtf8(text)));
    return kExitUsage;
}

std::optional<QUuid> parseID(const QString &text)
{
    auto id = parseUuid(text);
    if (!id)
        printError(QStringLiteral("\"%1\" is not a node identifier").arg(text));
    return id;
}

int reportTreeError(const TreeViewModelError &error)
{
    if (error.storeError)
        return reportStoreError(*error.storeError);
    printError(error.description());
    // A value the entry rules refuse is a bad argument, as over the bus.
    return error.kind == TreeViewModelError::Kind::invalidEntry ? kExitUsage : kExitFailed;
}

RetentionPolicy userRetentionPolicy()
{
    const QSettings settings(AppEnvironment::settingsFile(QStringLiteral("TarniBar")), QSettings::IniFormat);
    return RetentionPolicy::fromSettings(settings);
}

int importIntoWorkspace(EditSession &session, InteropImport imported, const std::optional<QUuid> &parent,
                        ImportReport &report)
{
    const TreeArchiveService archive;
    SnapshotService snapshots(*session.store, *session.model, archive);
    snapshots.setRetentionPolicy(userRetentionPolicy());
    const QString title = QStringLiteral("Before import ") +
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("yyyy-MM-dd HH:mm"));
    auto done = WorkspaceImport(*session.model, snapshots, archive).run(std::move(imported), parent, title);
    if (!done) {
        const ImportFailure &error = done.error();
        if (error.treeError)
            return reportTreeError(*error.treeError);
        if (error.snapshotError->storeError)
            return reportStoreError(*error.snapshotError->storeError);
        printError(error.description());
        return kExitFailed;
    }
    report = std::move(*done);
    return kExitOk;
}

int openForReading(const CliContext &context, ReadSession &session, bool withNodes)
{
    if (int code = requireExistingDatabase(context))
        return code;
    session.store = std::make_unique<WorkspaceStore>(context.databasePath(), WorkspaceStore::OpenMode::readOnly);
    if (session.store->openError())
        return reportStoreError(*session.store->openError());
    auto workspace = session.store->fetchWorkspace();
    if (!workspace)
        return reportStoreError(workspace.error());
    session.workspace = *workspace;
    if (session.workspace && withNodes) {
        auto nodes = session.store->fetchNodes(session.workspace->id);
        if (!nodes)
            return reportStoreError(nodes.error());
        session.nodes = std::move(nodes).value();
    }
    return kExitOk;
}

EditSession::~EditSession()
{
    bool keep = createdDatabase.empty();
    // Nodes the command holds were written by it; the store is asked only
    // when it holds none, since reading the tree back costs as much as the
    // import that wrote it.
    if (!keep && model && model->isLoaded() && !model->nodes().isEmpty())
        keep = true;
    if (!keep && store && !store->openError()) {
        store->setNodeScope(std::nullopt);
        auto workspace = store->fetchWorkspace();
        if (workspace && *workspace) {
            auto nodes = store->fetchNodes((*workspace)->id);
            keep = !nodes || !nodes->isEmpty();
        }
    }
    model.reset();
    store.reset();
    if (!keep) {
        std::error_code ec;
        for (const char *suffix : {"", "-wal", "-shm", "-journal"})
            std::filesystem::remove(createdDatabase.string() + suffix, ec);
    }
}

namespace {

// Another tarnibar-cli edit holds the lock for milliseconds; wait for it this
// long. The application holds it for its whole run: hand the edit over then.
constexpr auto kWaitForOtherEdits = std::chrono::seconds(10);

} // namespace

int openForEditing(const CliContext &context, EditSession &session, const ScopeChoice &scope)
{
    const QString root = QString::fromStdString(context.root.string());
    if (int code = requireRoot(context))
        return code;
    const auto deadline = std::chrono::steady_clock::now() + kWaitForOtherEdits;
    std::string error;
    while (!session.lock.tryAcquire(context.root, &error, InstanceLock::Holder::commandLineTool)) {
        if (!session.lock.wasContended()) {
            printError(QString::fromStdString(error));
            return kExitFailed;
        }
        auto holder = InstanceLock::currentHolder(context.root);
        if (!holder)
            continue; // released between the two looks
        if (holder->holder == InstanceLock::Holder::application) {
            session.applicationRunning = true;
            return kExitAppRunning;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            const auto seconds = std::chrono::seconds(kWaitForOtherEdits).count();
            if (holder->holder == InstanceLock::Holder::commandLineTool)
                printError(QStringLiteral("another tarnibar-cli command (process %1) has been changing the workspace "
                                          "in \"%2\" for over %3 s; try again when it has finished")
                               .arg(holder->pid)
                               .arg(root)
                               .arg(seconds));
            else
                printError(QStringLiteral("the data root \"%1\" has been locked by another process for over %2 s; "
                                          "try again when it has let go")
                               .arg(root)
                               .arg(seconds));
            return kExitLocked;
        }
        QThread::msleep(20);
    }
    std::error_code ec;
    if (!std::filesystem::exists(context.databasePath(), ec)) {
        if (ec) {
            reportUnusable(context.databasePath(), ec, "no workspace database", "workspace database");
            return kExitFailed;
        }
        session.createdDatabase = context.databasePath();
    }
    session.store = std::make_unique<WorkspaceStore>(context.databasePath(), WorkspaceStore::OpenMode::readWrite);
    if (session.store->openError())
        return reportStoreError(*session.store->openError());
    session.model = std::make_unique<TreeViewModel>(*session.store);
    if (scope) {
        // The workspace and its history first, without nodes: the choice may
        // depend on them.
        session.store->setNodeScope(WorkspaceStore::NodeScope{});
        if (auto loaded = session.model->load(); !loaded)
            return reportTreeError(loaded.error());
        auto chosen = scope(session);
        if (!chosen)
            return reportStoreError(chosen.error());
        session.store->setNodeScope(std::move(*chosen));
    }
    if (auto loaded = session.model->load(); !loaded)
        return reportTreeError(loaded.error());
    return kExitOk;
}

int requireNode(const TreeViewModel &model, const QUuid &id)
{
    if (model.node(id))
        return kExitOk;
    return reportTreeError(TreeViewModelError::unknownNode(id));
}

int parseUnder(const Arguments &args, const TreeViewModel &model, std::optional<QUuid> &parent)
{
    parent.reset();
    if (auto under = args.value("--under")) {
        parent = parseID(*under);
        if (!parent)
            return kExitUsage;
        return requireNode(model, *parent);
    }
    return kExitOk;
}

int printID(const QUuid &id)
{
    printOut(uuidQString(id) + QLatin1Char('\n'));
    return kExitOk;
}

int parseUnderText(const Arguments &args, QString &parent)
{
    parent.clear();
    if (auto under = args.value("--under")) {
        const auto id = parseID(*under);
        if (!id)
            return kExitUsage;
        parent = uuidQString(*id);
    }
    return kExitOk;
}

int printReplyID(const QVariantList &reply)
{
    printOut(visibleText(reply.value(0).toString()) + QLatin1Char('\n'));
    return kExitOk;
}


} // namespace tarni::cli

#include "CliCommand.h"

#include "model/Uuid.h"
#include "storage/StoreCheck.h"

namespace tarni::cli {

int runCheck(CliContext &context, const QStringList &arguments)
{
    if (!arguments.isEmpty()) {
        printError(QStringLiteral("check takes no arguments"));
        return kExitUsage;
    }
    if (int code = requireExistingDatabase(context))
        return code;

    const StoreCheckReport report = checkWorkspaceDatabase(context.databasePath());
    const QString path = QString::fromStdString(context.databasePath().string());
    switch (report.failure) {
    case StoreCheckReport::Failure::none:
        break;
    case StoreCheckReport::Failure::cannotOpen:
        printError(QStringLiteral("cannot open \"%1\": %2").arg(path, report.failureMessage));
        return kExitFailed;
    case StoreCheckReport::Failure::busy:
        printError(QStringLiteral("\"%1\" is locked by another program: %2").arg(path, report.failureMessage));
        return kExitLocked;
    case StoreCheckReport::Failure::corrupt:
        printError(QStringLiteral("\"%1\" is damaged: %2").arg(path, report.failureMessage));
        return kExitCorrupt;
    case StoreCheckReport::Failure::other:
        printError(QStringLiteral("cannot read \"%1\": %2").arg(path, report.failureMessage));
        return kExitFailed;
    }

    QString text = QStringLiteral("integrity: ok\nworkspaces: %1\nnodes: %2\n")
                       .arg(report.workspaceRows)
                       .arg(report.nodeRows);
    for (std::size_t i = 0; i < kAllWorkspaceNodeKinds.size(); ++i) {
        const auto kind = rawValue(kAllWorkspaceNodeKinds[i]);
        text += QStringLiteral("  %1: %2\n")
                    .arg(QString::fromLatin1(kind.data(), qsizetype(kind.size())))
                    .arg(report.nodesPerKind[i]);
    }
    text += QStringLiteral("snapshots: %1\n").arg(report.snapshotRows);
    printOut(text);

    for (const QString &problem : report.undecodableRows)
        printError(problem);
    for (const auto &[workspace, unreachable] : report.unreachable) {
        printError(QStringLiteral("%1 node(s) of workspace %2 are unreachable: no tree shows them, and exports and "
                                  "snapshots leave them out (\"tarnibar-cli repair\" moves them under \"%3\")")
                       .arg(unreachable.count)
                       .arg(uuidQString(workspace), QLatin1String(kRecoveredGroupTitle)));
        for (const auto &cycle : unreachable.cycles) {
            QStringList ids;
            for (const QUuid &id : cycle)
                ids << uuidQString(id);
            ids << ids.first();
            printError(QStringLiteral("  parent links form a cycle: %1").arg(ids.join(QStringLiteral(" -> "))));
        }
        for (const auto &missing : unreachable.missingParents)
            printError(QStringLiteral("  missing parent %1 (%2 node(s) below it)")
                           .arg(uuidQString(missing.parentID))
                           .arg(missing.unreachableBelow));
    }
    return report.healthy() ? kExitOk : kExitBadData;
}

} // namespace tarni::cli

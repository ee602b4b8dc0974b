// tarni-crash-check DATABASE
//
// Reads a workspace database the way the application would after a crash
// and says whether anything is lost or damaged: SQLite's integrity check,
// every row of every table decoded through the store's own reads, and no node
// that the tree cannot reach. Problems go to standard error (exit 1).
//
// Standard output is a canonical dump of what a user would see: the tree in
// display order, the trash, the undo history and the snapshot list. Record
// identifiers and times are replaced by tree positions or left out, so that
// two runs of the same edit on copies of one database give the same dump
// even when the edit made fresh identifiers.

#include "model/Uuid.h"
#include "storage/StoreCheck.h"
#include "storage/WorkspaceStore.h"

#include <QCoreApplication>

#include <sqlite3.h>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <string>
#include <vector>

using namespace tarni;

namespace {

int g_problems = 0;

void problem(const QString &text)
{
    ++g_problems;
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

void out(const QString &line)
{
    std::fputs(line.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

template <class R>
bool failed(const R &result, const char *what)
{
    if (result.ok())
        return false;
    problem(QStringLiteral("%1: %2").arg(QLatin1String(what), result.error().description()));
    return true;
}

// The nodes in display order (parents before children, siblings in load
// order), each with its depth.
std::vector<std::pair<int, qsizetype>> displayOrder(const NodeList &nodes)
{
    QHash<QUuid, QList<qsizetype>> children;
    QList<qsizetype> roots;
    QHash<QUuid, qsizetype> indexOf;
    for (qsizetype i = 0; i < nodes.size(); ++i)
        indexOf.insert(nodes[i].id(), i);
    for (qsizetype i = 0; i < nodes.size(); ++i) {
        const auto &parent = nodes[i].parentID();
        if (parent && indexOf.contains(*parent))
            children[*parent].append(i);
        else
            roots.append(i);
    }
    std::vector<std::pair<int, qsizetype>> order;
    std::vector<std::pair<int, qsizetype>> stack;
    for (auto it = roots.crbegin(); it != roots.crend(); ++it)
        stack.emplace_back(0, *it);
    while (!stack.empty()) {
        auto [depth, index] = stack.back();
        stack.pop_back();
        order.emplace_back(depth, index);
        const auto &below = children.value(nodes[index].id());
        for (auto it = below.crbegin(); it != below.crend(); ++it)
            stack.emplace_back(depth + 1, *it);
    }
    return order;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarni-crash-check DATABASE\n");
        return 2;
    }
    const std::filesystem::path path(argv[1]);
    if (!std::filesystem::exists(path)) {
        problem(QStringLiteral("no database"));
        return 1;
    }
    // Opened for writing first, as the application opens it: that is what
    // recovers a write-ahead log left by a killed writer.
    WorkspaceStore store(path);
    if (store.openError()) {
        problem(QStringLiteral("open: ") + store.openError()->description());
        return 1;
    }

    const StoreCheckReport report = checkWorkspaceDatabase(path);
    if (report.failure != StoreCheckReport::Failure::none) {
        problem(QStringLiteral("check: ") + report.failureMessage);
        return 1;
    }
    for (const QString &row : report.undecodableRows)
        problem(row);
    for (const auto &[workspace, unreachable] : report.unreachable)
        problem(QStringLiteral("%1 unreachable node(s) in workspace %2").arg(unreachable.count).arg(uuidQString(workspace)));

    auto workspace = store.fetchWorkspace();
    if (failed(workspace, "workspace"))
        return 1;
    if (!*workspace) {
        problem(QStringLiteral("no workspace"));
        return 1;
    }
    const QUuid workspaceID = (*workspace)->id;
    out(QStringLiteral("workspace %1").arg((*workspace)->title));

    std::vector<std::string> texts;
    auto nodes = store.fetchNodes(workspaceID, &texts);
    if (failed(nodes, "nodes"))
        return 1;
    const auto order = displayOrder(*nodes);
    QHash<QUuid, QString> label;
    for (std::size_t i = 0; i < order.size(); ++i)
        label.insert((*nodes)[order[i].second].id(), QString::number(i));
    auto labelOf = [&](const QUuid &id) { return label.value(id, QStringLiteral("?")); };

    out(QStringLiteral("nodes %1").arg(nodes->size()));
    for (const auto &[depth, index] : order) {
        QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(texts[std::size_t(index)])).object();
        for (const char *time : {"createdAt", "updatedAt", "lastOpenedAt", "workspaceID"})
            json.remove(QLatin1String(time));
        json.insert(QStringLiteral("id"), labelOf((*nodes)[index].id()));
        if (const auto &parent = (*nodes)[index].parentID())
            json.insert(QStringLiteral("parentID"), labelOf(*parent));
        out(QString(depth, QLatin1Char(' ')) +
            QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)));
    }

    auto trash = store.fetchTrash(workspaceID);
    if (failed(trash, "trash"))
        return 1;
    out(QStringLiteral("trash %1").arg(trash->size()));
    for (const TrashSummary &summary : *trash) {
        auto entry = store.fetchTrashEntry(summary.id);
        if (failed(entry, "trash entry"))
            continue;
        if (!*entry || (*entry)->nodes.size() != summary.nodeCount)
            problem(QStringLiteral("trash entry %1 lost records").arg(uuidQString(summary.id)));
        out(QStringLiteral("  %1 nodes=%2 parent=%3 position=%4")
                .arg(summary.title)
                .arg(summary.nodeCount)
                .arg(summary.parentID ? labelOf(*summary.parentID) : QStringLiteral("top"))
                .arg(summary.position));
    }

    auto history = store.fetchHistory(workspaceID);
    if (failed(history, "history"))
        return 1;
    out(QStringLiteral("history %1").arg(history->size()));
    for (const HistoryEntry &entry : *history) {
        auto step = store.fetchHistoryStep(entry.sequence);
        if (failed(step, "history step"))
            continue;
        out(QStringLiteral("  %1 \"%2\" undone=%3 records=%4")
                .arg(entry.action, entry.subject)
                .arg(entry.undone)
                .arg(step->recordCount()));
    }

    // Every snapshot's tree decodes; the list shows what a user would see.
    if (auto snapshots = store.fetchSnapshots(workspaceID); failed(snapshots, "snapshots"))
        return 1;
    auto summaries = store.fetchSnapshotSummaries(workspaceID);
    if (failed(summaries, "snapshot list"))
        return 1;
    out(QStringLiteral("snapshots %1").arg(summaries->size()));
    for (const SnapshotSummary &summary : *summaries)
        out(QStringLiteral("  %1 origin=%2 nodes=%3 subtree=%4")
                .arg(summary.title,
                     QString::fromLatin1(rawValue(summary.origin).data(), qsizetype(rawValue(summary.origin).size())))
                .arg(summary.nodeCount)
                .arg(summary.subtree));
    // The records the snapshots share: a delete and the sweep of what it
    // leaves unshared happen together or not at all.
    sqlite3 *db = nullptr;
    sqlite3_stmt *count = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "SELECT count(*) FROM snapshot_records;", -1, &count, nullptr) != SQLITE_OK ||
        sqlite3_step(count) != SQLITE_ROW)
        problem(QStringLiteral("counting snapshot records: ") + QString::fromUtf8(sqlite3_errmsg(db)));
    else
        out(QStringLiteral("snapshot records %1").arg(sqlite3_column_int64(count, 0)));
    sqlite3_finalize(count);
    sqlite3_close(db);
    return g_problems == 0 ? 0 : 1;
}

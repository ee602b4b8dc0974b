#include "CliCommand.h"

#include "model/JsonEncoding.h"
#include "storage/WorkspaceStore.h"

namespace tarni::cli {

int runNodes(CliContext &context, const QStringList &arguments)
{
    if (arguments != QStringList{QStringLiteral("--json")}) {
        printError(QStringLiteral("usage: tarnibar-cli nodes --json"));
        return kExitUsage;
    }
    if (int code = requireExistingDatabase(context))
        return code;

    WorkspaceStore store(context.databasePath(), WorkspaceStore::OpenMode::readOnly);
    if (store.openError())
        return reportStoreError(*store.openError());
    auto workspace = store.fetchWorkspace();
    if (!workspace)
        return reportStoreError(workspace.error());

    NodeList nodes;
    if (*workspace) {
        auto fetched = store.fetchNodes((*workspace)->id);
        if (!fetched)
            return reportStoreError(fetched.error());
        nodes = std::move(fetched).value();
    }
    // Written in pieces: the whole array of a large workspace would double
    // the memory the nodes take and cost as much again in page faults.
    constexpr std::size_t kChunk = std::size_t(1) << 20;
    std::string out = "[";
    out.reserve(kChunk + 4096);
    bool first = true;
    for (const auto &node : nodes) {
        if (!first)
            out += ',';
        first = false;
        if (auto appended = json::appendCompact(out, node); !appended) {
            printError(appended.error().description());
            return kExitBadData;
        }
        if (out.size() >= kChunk) {
            printOut(out);
            out.clear();
        }
    }
    out += "]\n";
    printOut(out);
    return kExitOk;
}

} // namespace tarni::cli

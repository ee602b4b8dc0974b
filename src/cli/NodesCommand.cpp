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

    std::string out = "[";
    if (*workspace) {
        auto nodes = store.fetchNodes((*workspace)->id);
        if (!nodes)
            return reportStoreError(nodes.error());
        out.reserve(size_t(nodes->size()) * 600);
        bool first = true;
        for (const auto &node : *nodes) {
            if (!first)
                out += ',';
            first = false;
            if (auto appended = json::appendCompact(out, node); !appended) {
                printError(appended.error().description());
                return kExitBadData;
            }
        }
    }
    out += "]\n";
    printOut(out);
    return kExitOk;
}

} // namespace tarni::cli

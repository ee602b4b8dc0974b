#include "CliCommand.h"

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

    // The records as stored: each decoded above (so well-formed and valid),
    // and written by our own encoder in its compact form, so printing the
    // text spares encoding them all again.
    std::vector<std::string> texts;
    if (*workspace) {
        if (auto fetched = store.fetchNodes((*workspace)->id, &texts); !fetched)
            return reportStoreError(fetched.error());
    }
    // Written in pieces: the whole array of a large workspace would double
    // the memory the nodes take.
    constexpr std::size_t kChunk = std::size_t(1) << 20;
    std::string out = "[";
    out.reserve(kChunk + 4096);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            out += ',';
        out += texts[i];
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

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

    // Rows our encoder wrote are printed as stored; a row another program
    // wrote (lower-case ids, keys we do not know) is printed the way it
    // decoded, so that every id in the output has one spelling.
    std::vector<std::string> texts;
    NodeList nodes;
    if (*workspace) {
        auto fetched = store.fetchNodes((*workspace)->id, &texts);
        if (!fetched)
            return reportStoreError(fetched.error());
        nodes = std::move(*fetched);
    }
    std::string canonical;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        canonical.clear();
        if (auto encoded = json::appendCompact(canonical, nodes[qsizetype(i)]); !encoded)
            return reportStoreError(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
        if (canonical != texts[i])
            texts[i].swap(canonical);
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

#include "CliCommand.h"

#include "model/JsonEncoding.h"
#include "storage/WorkspaceStore.h"

#include <thread>
#include <vector>

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
    // Telling costs an encoding per row; the halves are checked on two
    // threads to keep that off the command's time.
    std::vector<char> asStored(texts.size(), 0);
    auto check = [&](std::size_t from, std::size_t to) {
        json::CompactFormCheck ours;
        for (std::size_t i = from; i < to; ++i)
            asStored[i] = ours.matches(nodes[qsizetype(i)], texts[i]) ? 1 : 0;
    };
    const std::size_t half = texts.size() / 2;
    {
        std::thread second(check, half, texts.size());
        check(0, half);
        second.join();
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (asStored[i])
            continue;
        texts[i].clear();
        if (auto encoded = json::appendCompact(texts[i], nodes[qsizetype(i)]); !encoded)
            return reportStoreError(StoreError{StoreError::Kind::encode, {}, encoded.error().reason});
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

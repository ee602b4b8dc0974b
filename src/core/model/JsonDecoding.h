#pragma once

#include "model/TreeExport.h"
#include "model/Workspace.h"
#include "model/WorkspaceSnapshot.h"
#include "util/Result.h"

#include <QString>

#include <string_view>

namespace tarni::json {

// Why a JSON text did not decode: where (a key path such as
// "rootNode.children[2].node.payload.webLink.url") and what was wrong.
struct DecodeError {
    QString path;
    QString reason;
    // The text is not JSON at all; `reason` says where it stops being JSON.
    bool notJson = false;

    QString description() const
    {
        if (notJson)
            return QStringLiteral("not a JSON document: ") + reason;
        return path.isEmpty() ? reason : QStringLiteral("\"%1\": %2").arg(path, reason);
    }
    bool operator==(const DecodeError &) const = default;
};

template <class T>
using Decoded = Result<T, DecodeError>;

// Snapshot bodies nest entries to any depth the decoder can follow without
// recursion; deeper documents are refused with a clear error. Export
// documents are read to be imported and stop at kMaxImportDepth.
inline constexpr std::size_t kMaxTreeDepth = 1'000'000;

// Each decodes one UTF-8 JSON text holding exactly that record. Unknown keys
// are ignored; a missing key and null both mean "absent" for optional fields;
// required fields have no fallback.
Decoded<WorkspaceNode> decodeWorkspaceNode(std::string_view json);
Decoded<NodePayload> decodeNodePayload(std::string_view json);
Decoded<BrowserTarget> decodeBrowserTarget(std::string_view json);
Decoded<Workspace> decodeWorkspace(std::string_view json);
// `maxDepth` bounds the nesting of entries (tests use small limits).
Decoded<TreeExport> decodeTreeExport(std::string_view json, std::size_t maxDepth = kMaxImportDepth);
Decoded<WorkspaceSnapshot> decodeWorkspaceSnapshot(std::string_view json);

// Decodes many small documents in a row (the store's rows) with one parser
// and one padded buffer. Not thread-safe; make one per thread.
class BulkDecoder {
public:
    BulkDecoder();
    ~BulkDecoder();
    BulkDecoder(const BulkDecoder &) = delete;
    BulkDecoder &operator=(const BulkDecoder &) = delete;

    Decoded<WorkspaceNode> workspaceNode(std::string_view json);
    Decoded<Workspace> workspace(std::string_view json);
    Decoded<WorkspaceSnapshot> workspaceSnapshot(std::string_view json);

private:
    struct Private;
    Private *d;
};

} // namespace tarni::json

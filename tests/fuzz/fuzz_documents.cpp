// The stored and exported JSON documents: a document that decodes must encode
// and decode back to the same record, and the store's bulk decoder must agree
// with the single-document one.

#include "FuzzSupport.h"

#include "archive/TreeExportFile.h"
#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/TreeExportReader.h"

#include <algorithm>
#include <cstring>

using namespace tarni;

namespace {

template <class Record, class Decode, class Encode>
void roundTrip(const Record &record, Decode decode, Encode encode)
{
    auto text = encode(record);
    if (!text.ok())
        return; // refused with an error, which is what the caller sees
    auto again = decode(*text);
    fuzz::require(again.ok(), "an encoded document does not decode");
    fuzz::require(*again == record, "a document changes on its way through JSON");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view json = fuzz::asText(data, size);
#if defined(FUZZ_DOCUMENT_node)
    static json::BulkDecoder bulk;
    auto node = json::decodeWorkspaceNode(json);
    auto fromBulk = bulk.workspaceNode(json);
    fuzz::require(node.ok() == fromBulk.ok(), "the bulk decoder disagrees");
    if (node.ok()) {
        fuzz::require(*node == *fromBulk, "the bulk decoder reads another node");
        roundTrip(*node, [](std::string_view t) { return json::decodeWorkspaceNode(t); },
                  [](const WorkspaceNode &n) { return json::encode(n); });
    }
    auto payload = json::decodeNodePayload(json);
    if (payload.ok())
        roundTrip(*payload, [](std::string_view t) { return json::decodeNodePayload(t); },
                  [](const NodePayload &p) { return json::encode(p); });
#elif defined(FUZZ_DOCUMENT_workspace)
    static json::BulkDecoder bulk;
    auto workspace = json::decodeWorkspace(json);
    auto fromBulk = bulk.workspace(json);
    fuzz::require(workspace.ok() == fromBulk.ok(), "the bulk decoder disagrees");
    if (workspace.ok()) {
        fuzz::require(*workspace == *fromBulk, "the bulk decoder reads another workspace");
        roundTrip(*workspace, [](std::string_view t) { return json::decodeWorkspace(t); },
                  [](const Workspace &w) { return json::encode(w); });
    }
    auto target = json::decodeBrowserTarget(json);
    if (target.ok())
        roundTrip(*target, [](std::string_view t) { return json::decodeBrowserTarget(t); },
                  [](const BrowserTarget &b) { return json::encode(b); });
#elif defined(FUZZ_DOCUMENT_snapshot)
    static json::BulkDecoder bulk;
    auto snapshot = json::decodeWorkspaceSnapshot(json);
    auto fromBulk = bulk.workspaceSnapshot(json);
    fuzz::require(snapshot.ok() == fromBulk.ok(), "the bulk decoder disagrees");
    if (snapshot.ok()) {
        fuzz::require(*snapshot == *fromBulk, "the bulk decoder reads another snapshot");
        roundTrip(*snapshot, [](std::string_view t) { return json::decodeWorkspaceSnapshot(t); },
                  [](const WorkspaceSnapshot &s) { return json::encode(s); });
    }
#elif defined(FUZZ_DOCUMENT_export)
    auto document = json::decodeTreeExport(json);
    if (document.ok())
        roundTrip(*document, [](std::string_view t) { return json::decodeTreeExport(t); },
                  [](const TreeExport &d) { return TreeExportFile::encode(d); });

    // The file reader decodes the same text in pieces (here of a size taken
    // from the text). It may refuse more (text that is not JSON in a value
    // nobody reads, its own limits), but what it accepts is what the whole
    // text gives, and where both refuse they say the same.
    if (!json.starts_with("\xEF\xBB\xBF")) {
        const std::size_t chunk = 1 + (json.empty() ? 0 : std::uint8_t(json.back()) % 64);
        std::size_t at = 0;
        auto streamed = json::readTreeExport([&](char *buffer, std::size_t size) {
            const std::size_t n = std::min({chunk, size, json.size() - at});
            std::memcpy(buffer, json.data() + at, n);
            at += n;
            return n;
        });
        if (streamed.ok()) {
            fuzz::require(document.ok(), "the file reader accepts what the decoder refuses");
            fuzz::require(*streamed == *document, "the file reader reads another document");
        } else if (!document.ok()) {
            const QString &reason = streamed.error().reason;
            const bool ownLimit = reason.contains(QStringLiteral("nested deeper than")) &&
                                  !reason.startsWith(QStringLiteral("entries"));
            fuzz::require(ownLimit || streamed.error() == document.error(), "the file reader says another error");
        }
    }
#else
#error "choose a document"
#endif
    return 0;
}

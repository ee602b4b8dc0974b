#pragma once

// Writers for the records' JSON forms, for any RapidJSON writer. Codecs that
// embed a record in a larger document (Chrome messages, export files) use
// these; everyone else calls the functions of JsonEncoding.h.
//
// Keys are written in sorted (byte) order at every level, so a pretty-printed
// document is also a sorted-keys document. Optional fields are left out when
// absent. Each function returns false when the value cannot be represented
// (a non-finite number); the writer's output is then unusable.

#include "model/TreeExport.h"
#include "model/Uuid.h"
#include "model/Workspace.h"
#include "model/WorkspaceSnapshot.h"

#include <rapidjson/writer.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace tarni::json {

// RapidJSON's default allocator hands back a null pointer when memory runs
// out, which its buffers then write through. This one throws std::bad_alloc
// instead, for the caller to turn into an error.
struct CheckedAllocator {
    static constexpr bool kNeedFree = true;
    void *Malloc(std::size_t size)
    {
        if (size == 0)
            return nullptr;
        void *p = std::malloc(size);
        if (!p)
            throw std::bad_alloc();
        return p;
    }
    void *Realloc(void *original, std::size_t originalSize, std::size_t newSize)
    {
        (void)originalSize;
        if (newSize == 0) {
            std::free(original);
            return nullptr;
        }
        void *p = std::realloc(original, newSize);
        if (!p)
            throw std::bad_alloc();
        return p;
    }
    static void Free(void *p) noexcept { std::free(p); }
    bool operator==(const CheckedAllocator &) const noexcept { return true; }
    bool operator!=(const CheckedAllocator &) const noexcept { return false; }
};

template <class W>
inline void writeKey(W &w, std::string_view key)
{
    w.Key(key.data(), rapidjson::SizeType(key.size()));
}

template <class W>
inline void writeString(W &w, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    w.String(utf8.constData(), rapidjson::SizeType(utf8.size()));
}

template <class W>
inline void writeString(W &w, std::string_view text)
{
    w.String(text.data(), rapidjson::SizeType(text.size()));
}

template <class W>
inline void writeUuid(W &w, const QUuid &id)
{
    char text[kUuidTextLength];
    formatUuid(id, text);
    w.String(text, rapidjson::SizeType(kUuidTextLength));
}

template <class W>
inline void writeTimestamp(W &w, Timestamp t)
{
    char text[kTimestampTextLength];
    formatTimestamp(t, text);
    w.String(text, rapidjson::SizeType(kTimestampTextLength));
}

template <class W>
inline void writeOptionalString(W &w, std::string_view key, const std::optional<QString> &text)
{
    if (text) {
        writeKey(w, key);
        writeString(w, *text);
    }
}

template <class W>
inline void writeFields(W &w, const GroupPayload &group)
{
    w.StartObject();
    writeOptionalString(w, "tintHex", group.tintHex);
    w.EndObject();
}

// runtimeTabBinding is deliberately never written: it names a tab of this run only.
template <class W>
inline void writeFields(W &w, const BrowserTarget &target)
{
    w.StartObject();
    writeOptionalString(w, "favIconURL", target.favIconURL);
    writeKey(w, "preferredOpenMode");
    writeString(w, rawValue(target.preferredOpenMode));
    writeKey(w, "titleSnapshot");
    writeString(w, target.titleSnapshot);
    writeKey(w, "url");
    writeString(w, target.url);
    w.EndObject();
}

template <class W>
inline void writeFields(W &w, const WebLinkTarget &target)
{
    w.StartObject();
    writeOptionalString(w, "preferredBrowser", target.preferredBrowser);
    writeKey(w, "url");
    writeString(w, target.url);
    w.EndObject();
}

template <class W>
inline void writeFields(W &w, const SlackTarget &target)
{
    w.StartObject();
    writeOptionalString(w, "channelID", target.channelID);
    writeOptionalString(w, "messageTS", target.messageTS);
    writeKey(w, "permalinkURL");
    writeString(w, target.permalinkURL);
    writeKey(w, "preferredOpenMode");
    writeString(w, rawValue(target.preferredOpenMode));
    writeOptionalString(w, "teamID", target.teamID);
    w.EndObject();
}

template <class W>
inline void writeFields(W &w, const FileTarget &target)
{
    w.StartObject();
    if (target.bookmarkData) {
        writeKey(w, "bookmarkData");
        const QByteArray base64 = target.bookmarkData->toBase64();
        w.String(base64.constData(), rapidjson::SizeType(base64.size()));
    }
    writeKey(w, "path");
    writeString(w, target.path);
    w.EndObject();
}

template <class W>
inline void writeFields(W &w, const NodePayload &payload)
{
    const std::string_view type = rawValue(payload.kind());
    auto writeCase = [&] {
        writeKey(w, type);
        if (const auto *v = payload.asGroup())
            writeFields(w, *v);
        else if (const auto *v = payload.asChromeTab())
            writeFields(w, *v);
        else if (const auto *v = payload.asWebLink())
            writeFields(w, *v);
        else if (const auto *v = payload.asSlackThread())
            writeFields(w, *v);
        else if (const auto *v = payload.asFileTarget())
            writeFields(w, *v);
    };
    w.StartObject();
    if (type < std::string_view("type"))
        writeCase();
    writeKey(w, "type");
    writeString(w, type);
    if (type > std::string_view("type"))
        writeCase();
    w.EndObject();
}

// The edges of the members of a node's stamps that change without an undo
// step. Each member starts at the comma before its key.
enum class StampEdge { lastOpenedBegin, lastOpenedEnd, updatedBegin, updatedEnd };

struct IgnoreStampEdges {
    void operator()(StampEdge) const {}
};

// `edge` is called at each edge of those members, as the writer reaches it.
template <class W, class Edges = IgnoreStampEdges>
[[nodiscard]] inline bool writeFields(W &w, const WorkspaceNode &node, const Edges &edge = Edges{})
{
    const auto &f = node.fields();
    if (!std::isfinite(f.sortOrder))
        return false;
    w.StartObject();
    writeKey(w, "createdAt");
    writeTimestamp(w, f.createdAt);
    writeOptionalString(w, "iconKey", f.iconKey);
    writeKey(w, "id");
    writeUuid(w, f.id);
    writeKey(w, "isCollapsed");
    w.Bool(f.isCollapsed);
    writeKey(w, "kind");
    writeString(w, rawValue(f.kind));
    if (f.lastOpenedAt) {
        edge(StampEdge::lastOpenedBegin);
        writeKey(w, "lastOpenedAt");
        writeTimestamp(w, *f.lastOpenedAt);
        edge(StampEdge::lastOpenedEnd);
    }
    if (f.parentID) {
        writeKey(w, "parentID");
        writeUuid(w, *f.parentID);
    }
    writeKey(w, "payload");
    writeFields(w, f.payload);
    writeKey(w, "sortOrder");
    w.Double(f.sortOrder);
    writeOptionalString(w, "subtitle", f.subtitle);
    writeKey(w, "title");
    writeString(w, f.title);
    edge(StampEdge::updatedBegin);
    writeKey(w, "updatedAt");
    writeTimestamp(w, f.updatedAt);
    edge(StampEdge::updatedEnd);
    writeKey(w, "workspaceID");
    writeUuid(w, f.workspaceID);
    w.EndObject();
    return true;
}

template <class W>
inline void writeFields(W &w, const Workspace &workspace)
{
    w.StartObject();
    writeKey(w, "createdAt");
    writeTimestamp(w, workspace.createdAt);
    writeKey(w, "id");
    writeUuid(w, workspace.id);
    writeKey(w, "title");
    writeString(w, workspace.title);
    writeKey(w, "updatedAt");
    writeTimestamp(w, workspace.updatedAt);
    w.EndObject();
}

// Entries nest to any depth; the walk keeps its own stack. "children" sorts
// before the entry's other keys, so those are written when the children close.
template <class W>
[[nodiscard]] inline bool writeFields(W &w, const TreeExportNode &root)
{
    struct Frame {
        const TreeExportNode *entry;
        std::size_t nextChild;
    };
    std::vector<Frame> stack;
    auto open = [&](const TreeExportNode &entry) {
        w.StartObject();
        writeKey(w, "children");
        w.StartArray();
        stack.push_back({&entry, 0});
    };
    open(root);
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.nextChild < top.entry->children.size()) {
            const TreeExportNode &child = top.entry->children[top.nextChild++];
            open(child); // invalidates `top`
            continue;
        }
        const TreeExportNode &entry = *top.entry;
        stack.pop_back();
        w.EndArray();
        writeKey(w, "id");
        writeUuid(w, entry.id);
        writeKey(w, "node");
        if (!writeFields(w, entry.node))
            return false;
        if (entry.originalNodeID) {
            writeKey(w, "originalNodeID");
            writeUuid(w, *entry.originalNodeID);
        }
        writeKey(w, "title");
        writeString(w, entry.title);
        w.EndObject();
    }
    return true;
}

template <class W>
[[nodiscard]] inline bool writeFields(W &w, const TreeExport &document)
{
    w.StartObject();
    writeKey(w, "app");
    writeString(w, document.app);
    writeKey(w, "exportedAt");
    writeTimestamp(w, document.exportedAt);
    writeKey(w, "rootNode");
    if (!writeFields(w, document.rootNode))
        return false;
    writeKey(w, "schemaVersion");
    w.Int64(document.schemaVersion);
    w.EndObject();
    return true;
}

template <class W>
[[nodiscard]] inline bool writeFields(W &w, const WorkspaceSnapshot &snapshot)
{
    w.StartObject();
    writeKey(w, "createdAt");
    writeTimestamp(w, snapshot.createdAt);
    writeKey(w, "id");
    writeUuid(w, snapshot.id);
    writeKey(w, "rootNode");
    if (!writeFields(w, snapshot.rootNode))
        return false;
    writeKey(w, "schemaVersion");
    w.Int64(snapshot.schemaVersion);
    if (snapshot.selectedNodeID) {
        writeKey(w, "selectedNodeID");
        writeUuid(w, *snapshot.selectedNodeID);
    }
    writeKey(w, "title");
    writeString(w, snapshot.title);
    writeKey(w, "workspaceID");
    writeUuid(w, snapshot.workspaceID);
    w.EndObject();
    return true;
}

} // namespace tarni::json

#pragma once

#include "model/WorkspaceNode.h"

#include <QString>
#include <QUuid>

#include <cstdint>
#include <optional>
#include <vector>

namespace tarni {

// Imported documents, ours and every other format's, nest at most this many
// levels. The sidebar's outline shows trees this deep expanded (it stops
// expanding by itself further down), and a stored tree may still grow
// deeper by hand.
inline constexpr std::size_t kMaxImportDepth = 1'000;

// One entry of an export or snapshot body: a copy of a workspace node with its
// children nested below it.
//
// Trees can be arbitrarily deep (a chain of 100,000 nodes is a valid
// workspace), so copying, comparing and destroying entries never recurse.
struct TreeExportNode {
    QUuid id;                             // fresh for every document
    std::optional<QUuid> originalNodeID;  // absent only for the added root of a whole-workspace body
    QString title;
    WorkspaceNode node;
    std::vector<TreeExportNode> children; // in sibling order

    TreeExportNode() = default;
    TreeExportNode(QUuid id, std::optional<QUuid> originalNodeID, QString title, WorkspaceNode node,
                   std::vector<TreeExportNode> children = {});
    TreeExportNode(const TreeExportNode &other);
    TreeExportNode(TreeExportNode &&other) noexcept = default;
    TreeExportNode &operator=(const TreeExportNode &other);
    TreeExportNode &operator=(TreeExportNode &&other) noexcept;
    ~TreeExportNode();

    bool operator==(const TreeExportNode &other) const;

    // Number of entries in this subtree, this one included.
    std::size_t subtreeSize() const;
    // Longest path from this entry to a leaf, counted in entries.
    std::size_t depth() const;

private:
    void copyFieldsFrom(const TreeExportNode &other);
    void destroyChildren() noexcept;
};

// The id after `previous` when entries are numbered: the last 48 bits
// counted up by one (modulo 2^48), so a random first id keeps the others
// unique and version-4 shaped. Exports number their entries in pre-order
// from a fresh id, which lets a snapshot store them almost for free.
QUuid nextEntryID(const QUuid &previous);

struct TreeExport {
    using Node = TreeExportNode;

    static constexpr std::int64_t kSchemaVersion = 1;
    static constexpr const char *kAppName = "TarniBar";

    std::int64_t schemaVersion = kSchemaVersion;
    Timestamp exportedAt{};
    QString app = QString::fromLatin1(kAppName);
    TreeExportNode rootNode;

    bool operator==(const TreeExport &) const = default;
};

} // namespace tarni

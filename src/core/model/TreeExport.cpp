#include "model/TreeExport.h"

#include <utility>

namespace tarni {

QUuid nextEntryID(const QUuid &previous)
{
    QUuid next = previous;
    for (int i = 7; i >= 2; --i) {
        if (++next.data4[i] != 0)
            break;
    }
    return next;
}

TreeExportNode::TreeExportNode(QUuid id, std::optional<QUuid> originalNodeID, QString title, WorkspaceNode node,
                               std::vector<TreeExportNode> children)
    : id(id)
    , originalNodeID(originalNodeID)
    , title(std::move(title))
    , node(std::move(node))
    , children(std::move(children))
{
}

void TreeExportNode::copyFieldsFrom(const TreeExportNode &other)
{
    id = other.id;
    originalNodeID = other.originalNodeID;
    title = other.title;
    node = other.node;
}

TreeExportNode::TreeExportNode(const TreeExportNode &other)
{
    copyFieldsFrom(other);
    // Breadth of work instead of depth of stack: each pending pair is a copied
    // entry whose children still have to be copied.
    std::vector<std::pair<TreeExportNode *, const TreeExportNode *>> pending{{this, &other}};
    while (!pending.empty()) {
        auto [target, source] = pending.back();
        pending.pop_back();
        target->children.resize(source->children.size());
        for (std::size_t i = 0; i < source->children.size(); ++i) {
            target->children[i].copyFieldsFrom(source->children[i]);
            if (!source->children[i].children.empty())
                pending.emplace_back(&target->children[i], &source->children[i]);
        }
    }
}

TreeExportNode &TreeExportNode::operator=(const TreeExportNode &other)
{
    if (this != &other) {
        TreeExportNode copy(other);
        *this = std::move(copy);
    }
    return *this;
}

TreeExportNode &TreeExportNode::operator=(TreeExportNode &&other) noexcept
{
    if (this != &other) {
        destroyChildren();
        id = other.id;
        originalNodeID = other.originalNodeID;
        title = std::move(other.title);
        node = std::move(other.node);
        children = std::move(other.children);
    }
    return *this;
}

TreeExportNode::~TreeExportNode()
{
    destroyChildren();
}

void TreeExportNode::destroyChildren() noexcept
{
    if (children.empty())
        return;
    // Detach every grandchild list before its owner dies, so no destructor
    // below this one ever has children of its own to destroy.
    std::vector<TreeExportNode> pending = std::move(children);
    children.clear();
    while (!pending.empty()) {
        TreeExportNode last = std::move(pending.back());
        pending.pop_back();
        for (auto &child : last.children)
            pending.push_back(std::move(child));
        last.children.clear();
    }
}

bool TreeExportNode::operator==(const TreeExportNode &other) const
{
    std::vector<std::pair<const TreeExportNode *, const TreeExportNode *>> pending{{this, &other}};
    while (!pending.empty()) {
        auto [a, b] = pending.back();
        pending.pop_back();
        if (a->id != b->id || a->originalNodeID != b->originalNodeID || a->title != b->title || !(a->node == b->node)
            || a->children.size() != b->children.size())
            return false;
        for (std::size_t i = 0; i < a->children.size(); ++i)
            pending.emplace_back(&a->children[i], &b->children[i]);
    }
    return true;
}

std::size_t TreeExportNode::subtreeSize() const
{
    std::size_t count = 0;
    std::vector<const TreeExportNode *> pending{this};
    while (!pending.empty()) {
        const TreeExportNode *entry = pending.back();
        pending.pop_back();
        ++count;
        for (const auto &child : entry->children)
            pending.push_back(&child);
    }
    return count;
}

std::size_t TreeExportNode::depth() const
{
    std::size_t deepest = 0;
    std::vector<std::pair<const TreeExportNode *, std::size_t>> pending{{this, 1}};
    while (!pending.empty()) {
        auto [entry, level] = pending.back();
        pending.pop_back();
        deepest = std::max(deepest, level);
        for (const auto &child : entry->children)
            pending.emplace_back(&child, level + 1);
    }
    return deepest;
}

} // namespace tarni

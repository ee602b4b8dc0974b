#include "tree/WorkspaceTreeNode.h"

#include "model/Timestamp.h"

#include <QHash>

#include <utility>
#include <vector>

namespace tarni {

WorkspaceTreeNode::WorkspaceTreeNode(WorkspaceNode node, QList<WorkspaceTreeNode> children)
    : node(std::move(node))
    , children(std::move(children))
{
}

// QList shares its elements between copies; a copy only becomes deep when one
// side is written to, and that detach copies element by element with this
// constructor. Sharing the child list is therefore enough, and nothing here
// walks the depth of the tree.
WorkspaceTreeNode::WorkspaceTreeNode(const WorkspaceTreeNode &other)
    : node(other.node)
    , children(other.children)
{
}

WorkspaceTreeNode &WorkspaceTreeNode::operator=(const WorkspaceTreeNode &other)
{
    if (this != &other) {
        WorkspaceTreeNode copy(other);
        *this = std::move(copy);
    }
    return *this;
}

WorkspaceTreeNode &WorkspaceTreeNode::operator=(WorkspaceTreeNode &&other) noexcept
{
    if (this != &other) {
        destroyChildren();
        node = std::move(other.node);
        children = std::move(other.children);
    }
    return *this;
}

WorkspaceTreeNode::~WorkspaceTreeNode()
{
    destroyChildren();
}

void WorkspaceTreeNode::destroyChildren() noexcept
{
    if (children.isEmpty())
        return;
    // Only the last owner of a shared child list tears it down. Before an
    // entry dies its own children are moved to the pending list, so no
    // destructor below this one has anything left to destroy.
    std::vector<QList<WorkspaceTreeNode>> pending;
    pending.push_back(std::move(children));
    children = {};
    while (!pending.empty()) {
        QList<WorkspaceTreeNode> list = std::move(pending.back());
        pending.pop_back();
        if (!list.isDetached()) // someone else still holds these entries
            continue;
        for (WorkspaceTreeNode &entry : list) {
            if (!entry.children.isEmpty()) {
                pending.push_back(std::move(entry.children));
                entry.children = {};
            }
        }
    }
}

bool WorkspaceTreeNode::operator==(const WorkspaceTreeNode &other) const
{
    std::vector<std::pair<const WorkspaceTreeNode *, const WorkspaceTreeNode *>> pending{{this, &other}};
    while (!pending.empty()) {
        auto [a, b] = pending.back();
        pending.pop_back();
        if (!(a->node == b->node) || a->children.size() != b->children.size())
            return false;
        if (a->children.constData() == b->children.constData())
            continue; // one shared list
        for (qsizetype i = 0; i < a->children.size(); ++i)
            pending.emplace_back(&a->children[i], &b->children[i]);
    }
    return true;
}

std::size_t WorkspaceTreeNode::subtreeSize() const
{
    std::size_t count = 0;
    std::vector<const WorkspaceTreeNode *> pending{this};
    while (!pending.empty()) {
        const WorkspaceTreeNode *entry = pending.back();
        pending.pop_back();
        ++count;
        for (const WorkspaceTreeNode &child : entry->children)
            pending.push_back(&child);
    }
    return count;
}

size_t qHash(const WorkspaceTreeNode &tree, size_t seed)
{
    // Pre-order over identity, the few fields that change most, and the
    // shape; equal trees hash equally, which is all a hash has to promise.
    auto combine = [](size_t seed, size_t value) {
        return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    };
    std::vector<const WorkspaceTreeNode *> pending{&tree};
    while (!pending.empty()) {
        const WorkspaceTreeNode *entry = pending.back();
        pending.pop_back();
        const auto &f = entry->node.fields();
        seed = combine(seed, ::qHash(f.id));
        seed = combine(seed, ::qHash(f.title));
        seed = combine(seed, ::qHash(f.sortOrder));
        seed = combine(seed, size_t(f.isCollapsed));
        seed = combine(seed, size_t(entry->children.size()));
        for (qsizetype i = entry->children.size(); i-- > 0;)
            pending.push_back(&entry->children[i]);
    }
    return seed;
}

} // namespace tarni

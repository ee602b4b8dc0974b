#include "opening/NodeProviderRegistry.h"
#include "util/Localized.h"

#include <QString>

namespace tarni {

NodeProviderRegistry::NodeProviderRegistry(ProviderList providers) : m_providers(std::move(providers)) {}

std::shared_ptr<NodeProvider> NodeProviderRegistry::provider(WorkspaceNodeKind kind) const
{
    for (const auto &provider : m_providers) {
        if (provider && provider->supports(kind))
            return provider;
    }
    return nullptr;
}

QCoro::Task<OpenOutcome> NodeProviderRegistry::open(WorkspaceNode node, OpenContext context) const
{
    // Held here so that the provider outlives the call even if the registry
    // does not.
    const std::shared_ptr<NodeProvider> chosen = provider(node.kind());
    if (!chosen) {
        co_return OpenResult::failure(formatted(localized("No provider for %@"),
                                                {QString::fromLatin1(rawValue(node.kind()).data())}));
    }
    co_return co_await chosen->open(std::move(node), std::move(context));
}

QCoro::Task<RestoreOutcome> NodeProviderRegistry::restore(NodeList nodes, RestoreContext context) const
{
    struct Group {
        WorkspaceNodeKind kind;
        NodeList nodes;
    };
    std::vector<Group> groups;
    for (const WorkspaceNode &node : nodes) {
        auto it = std::find_if(groups.begin(), groups.end(), [&](const Group &g) { return g.kind == node.kind(); });
        if (it == groups.end())
            groups.push_back(Group{node.kind(), {node}});
        else
            it->nodes.append(node);
    }
    // Resolved before the first suspension: nothing below touches `this`.
    std::vector<std::pair<std::shared_ptr<NodeProvider>, NodeList>> work;
    for (Group &group : groups) {
        if (auto chosen = provider(group.kind))
            work.emplace_back(std::move(chosen), std::move(group.nodes));
    }
    RestoreResult combined;
    for (auto &[chosen, groupNodes] : work) {
        RestoreOutcome outcome = co_await chosen->restore(std::move(groupNodes), context);
        if (!outcome)
            co_return Failure(outcome.error());
        combined.results.append(outcome->results);
    }
    co_return combined;
}

} // namespace tarni

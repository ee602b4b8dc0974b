#pragma once

#include "opening/NodeProvider.h"

#include <memory>
#include <vector>

namespace tarni {

// Sends each node to the first provider that supports its kind.
class NodeProviderRegistry {
public:
    using ProviderList = std::vector<std::shared_ptr<NodeProvider>>;

    explicit NodeProviderRegistry(ProviderList providers);

    const ProviderList &providers() const { return m_providers; }
    std::shared_ptr<NodeProvider> provider(WorkspaceNodeKind kind) const;

    // A kind without a provider gives "No provider for <kind>", not an error.
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) const;
    // Groups the nodes by kind (each group in the given order, groups in the
    // order their kind first appears) and hands each group to its provider,
    // one after another. Kinds without a provider are skipped. The first
    // provider error ends the restore.
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) const;

private:
    ProviderList m_providers;
};

} // namespace tarni

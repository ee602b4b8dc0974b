#pragma once

#include "chrome/ChromeNativeHostBridgeProtocol.h"
#include "opening/NodeProvider.h"

namespace tarni {

// Opens Chrome tab nodes through the extension: a bound tab is focused, an
// unbound one opened; a restore opens all the tabs in one new window placed
// on the content rectangle.
class ChromeProvider final : public NodeProvider {
public:
    // The bridge must outlive the provider.
    explicit ChromeProvider(ChromeNativeHostBridgeProtocol &bridge) : m_bridge(bridge) {}

    bool supports(WorkspaceNodeKind kind) const override { return kind == WorkspaceNodeKind::chromeTab; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) override;
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) override;

private:
    ChromeNativeHostBridgeProtocol &m_bridge;
};

} // namespace tarni

#pragma once

#include "chrome/ChromeNativeHostBridgeProtocol.h"
#include "opening/BrowserLaunching.h"
#include "opening/ExternalOpening.h"
#include "opening/NodeProvider.h"
#include "windowing/AsyncWindowController.h"

#include <QPointer>

namespace tarni {

// Where the Chrome provider turns while no extension is connected.
struct ChromeWithoutExtension {
    BrowserLaunching *browser = nullptr;
    ExternalOpening *opener = nullptr;
    AsyncWindowController *windows = nullptr;
    int windowTimeoutMs = 5000;
};

// Opens Chrome tab nodes through the extension: a bound tab is focused, an
// unbound one opened; a restore opens all the tabs in one new window placed
// on the content rectangle.
//
// While no extension is connected, unbound tabs and restores go to a browser
// started for them (placed like a file's window), or to the default browser
// when there is no Chrome.
class ChromeProvider final : public NodeProvider {
public:
    // The bridge and the fallback's services must outlive the provider.
    explicit ChromeProvider(ChromeNativeHostBridgeProtocol &bridge, ChromeWithoutExtension fallback = {})
        : m_bridge(bridge), m_fallback(fallback), m_windows(fallback.windows)
    {
    }

    bool supports(WorkspaceNodeKind kind) const override { return kind == WorkspaceNodeKind::chromeTab; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) override;
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) override;

private:
    bool opensWithoutExtension() const;
    // `restore` chooses the summaries of a restore, else of opening one tab.
    QCoro::Task<OpenResult> openWithoutExtension(QList<AcceptedAddress> addresses, std::optional<QRectF> contentRect,
                                                 bool restore);

    ChromeNativeHostBridgeProtocol &m_bridge;
    ChromeWithoutExtension m_fallback;
    QPointer<AsyncWindowController> m_windows;
};

} // namespace tarni

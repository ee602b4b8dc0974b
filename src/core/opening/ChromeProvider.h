#pragma once

#include "chrome/ChromeNativeHostBridgeProtocol.h"
#include "chrome/ChromeStateCache.h"
#include "opening/BrowserLaunching.h"
#include "opening/ExternalOpening.h"
#include "opening/NodeProvider.h"
#include "windowing/AsyncWindowController.h"

#include <QPointer>

#include <functional>

namespace tarni {

// Where the Chrome provider turns while no extension is connected.
struct ChromeWithoutExtension {
    BrowserLaunching *browser = nullptr;
    ExternalOpening *opener = nullptr;
    AsyncWindowController *windows = nullptr;
    int windowTimeoutMs = 5000;
};

// The browser takes window bounds in the screen's device pixels, the
// application's rectangles are logical: the platform supplies the mapping.
using ScreenPixelMapping = std::function<QRectF(const QRectF &logical)>;

// Opens Chrome tab nodes through the extension: a bound tab is focused, an
// unbound one (or one whose tab has gone) opened and bound to the new tab; a
// restore opens all the tabs in one new window placed on the content
// rectangle, and binds them.
//
// The browser drops messages to an extension above 1 MiB, so a restore goes
// out in pieces: the first opens the window, the others add to it.
//
// While no extension is connected, unbound tabs and restores go to a browser
// started for them (placed like a file's window), or to the default browser
// when there is no Chrome.
class ChromeProvider final : public NodeProvider {
public:
    // Each request, encoded as the bridge writes it, stays within both.
    static constexpr qsizetype kMaxRequestBytes = 512 * 1024;
    static constexpr qsizetype kMaxAddressesPerRequest = 500;

    // The bridge, the tab bindings and the fallback's services must outlive
    // the provider. A binding in the payload itself is used before `tabs`.
    ChromeProvider(ChromeNativeHostBridgeProtocol &bridge, ChromeStateCache &tabs, ChromeWithoutExtension fallback = {},
                   ScreenPixelMapping toScreenPixels = {})
        : m_bridge(bridge), m_tabs(tabs), m_fallback(fallback), m_windows(fallback.windows),
          m_toScreenPixels(std::move(toScreenPixels))
    {
    }

    bool supports(WorkspaceNodeKind kind) const override { return kind == WorkspaceNodeKind::chromeTab; }
    QCoro::Task<OpenOutcome> open(WorkspaceNode node, OpenContext context) override;
    QCoro::Task<RestoreOutcome> restore(NodeList nodes, RestoreContext context) override;

private:
    bool opensWithoutExtension() const;
    // Binds the nodes named by the reply's `opened` entries (`nodeIDs` in
    // the command's address order); returns how many tabs the reply says
    // opened, all of them for an ok reply without the entries.
    qsizetype bindOpened(const ChromeCommandResponse &reply, const QList<QUuid> &nodeIDs);
    // `restore` chooses the summaries of a restore, else of opening one tab.
    QCoro::Task<OpenResult> openWithoutExtension(QList<AcceptedAddress> addresses, std::optional<QRectF> contentRect,
                                                 bool restore);

    ChromeNativeHostBridgeProtocol &m_bridge;
    ChromeStateCache &m_tabs;
    ChromeWithoutExtension m_fallback;
    QPointer<AsyncWindowController> m_windows;
    ScreenPixelMapping m_toScreenPixels;
};

} // namespace tarni

#include "opening/ChromeProvider.h"
#include "util/Localized.h"

#include "opening/UrlProviders.h"

namespace tarni {

namespace {

ProviderError providerError(const ChromeBridgeError &error)
{
    return ProviderError{error.description()};
}

// The extension's own summary when it sent one. A reply that is not ok (no
// extension answered, or it could not do it) opened nothing.
OpenResult resultOf(const ChromeCommandResponse &response, const QString &fallbackSummary,
                    const QString &openedAddress)
{
    const QString summary = response.summary.value_or(fallbackSummary);
    if (!response.ok)
        return OpenResult::failure(summary);
    return OpenResult::success(summary, urlFromText(openedAddress));
}

} // namespace

QCoro::Task<OpenOutcome> ChromeProvider::open(WorkspaceNode node, OpenContext context)
{
    const BrowserTarget *target = node.payload().asChromeTab();
    if (!target)
        co_return OpenResult::failure(localized("Unsupported Chrome payload"));
    const QString url = target->url;
    if (!target->runtimeTabBinding && opensWithoutExtension()) {
        QStringList one{url};
        OpenResult result = co_await openWithoutExtension(std::move(one), context.contentRect, false);
        co_return result;
    }
    ChromeCommand command = target->runtimeTabBinding
        ? ChromeCommand::focusTab(target->runtimeTabBinding->windowID, target->runtimeTabBinding->tabID)
        : ChromeCommand::openURLInWindow(url);
    const ChromeSendResult reply = co_await m_bridge.send(std::move(command));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    co_return resultOf(*reply, formatted(localized("Opened %@"), {url}), url);
}

QCoro::Task<RestoreOutcome> ChromeProvider::restore(NodeList nodes, RestoreContext context)
{
    QStringList urls;
    for (const WorkspaceNode &node : nodes) {
        if (const BrowserTarget *target = node.payload().asChromeTab())
            urls.append(target->url);
    }
    if (urls.isEmpty())
        co_return RestoreResult{};
    if (opensWithoutExtension()) {
        OpenResult result = co_await openWithoutExtension(urls, context.contentRect, true);
        co_return RestoreResult{{result}};
    }
    const auto bounds = context.contentRect ? ChromeWindowBounds::fromRect(*context.contentRect) : std::nullopt;
    const QString first = urls.first();
    const QString restored = formatted(localized("Restored %d tabs"), {QString::number(urls.size())});
    const ChromeSendResult reply = co_await m_bridge.send(ChromeCommand::openURLsInNewWindow(std::move(urls), bounds));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    co_return RestoreResult{{resultOf(*reply, restored, first)}};
}

bool ChromeProvider::opensWithoutExtension() const
{
    return !m_bridge.isConnected() && (m_fallback.browser || m_fallback.opener);
}

QCoro::Task<OpenResult> ChromeProvider::openWithoutExtension(QStringList urls, std::optional<QRectF> contentRect,
                                                             bool restore)
{
    const QString first = urls.first();
    const qsizetype count = urls.size();
    if (m_fallback.browser) {
        QPointer<AsyncWindowController> windows = m_windows;
        std::optional<WindowBaseline> baseline;
        if (contentRect && windows)
            baseline = co_await windows->windowBaseline();
        if (const auto launched = m_fallback.browser->openInNewWindow(urls)) {
            if (baseline && windows) {
                OpenedWindowRequest request;
                request.identifier = QStringLiteral("browser-window:") + first;
                request.frame = *contentRect;
                request.baseline = std::move(*baseline);
                request.executable = launched->executable;
                request.windowClass = launched->windowClass;
                request.timeoutMs = m_fallback.windowTimeoutMs;
                co_await windows->moveOpenedWindow(std::move(request));
            }
            co_return OpenResult::success(
                restore ? formatted(localized("Restored %d tabs in a new browser window"), {QString::number(count)})
                        : formatted(localized("Opened %@"), {first}),
                urlFromText(first));
        }
    }
    // No Chrome: each address goes to the default browser, and the summary
    // says that is where they went.
    qsizetype opened = 0;
    if (m_fallback.opener) {
        for (const QString &url : std::as_const(urls)) {
            if (const auto parsed = urlFromText(url); parsed && m_fallback.opener->open(*parsed))
                ++opened;
        }
    }
    if (opened == 0)
        co_return OpenResult::failure(formatted(localized("Could not open %@"), {first}));
    co_return OpenResult::success(
        restore ? formatted(localized("Chrome is not installed; opened %d tabs in the default browser"),
                            {QString::number(opened)})
                : formatted(localized("Chrome is not installed; opened %@ in the default browser"), {first}),
        urlFromText(first));
}

} // namespace tarni

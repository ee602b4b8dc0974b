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
                    const AcceptedAddress &openedAddress)
{
    const QString summary = response.summary.value_or(fallbackSummary);
    if (!response.ok)
        return OpenResult::failure(summary);
    return OpenResult::success(summary, openedAddress.url());
}

} // namespace

QCoro::Task<OpenOutcome> ChromeProvider::open(WorkspaceNode node, OpenContext context)
{
    const BrowserTarget *target = node.payload().asChromeTab();
    if (!target)
        co_return OpenResult::failure(localized("Unsupported Chrome payload"));
    // A bound tab is only focused; anything else hands the address on.
    const auto address = EntryRules::webAddress(target->url);
    if (!address && !target->runtimeTabBinding)
        co_return refusedOpen(address.error());
    if (!target->runtimeTabBinding && opensWithoutExtension()) {
        QList<AcceptedAddress> one;
        one.append(*address);
        OpenResult result = co_await openWithoutExtension(std::move(one), context.contentRect, false);
        co_return result;
    }
    ChromeCommand command = target->runtimeTabBinding
        ? ChromeCommand::focusTab(target->runtimeTabBinding->windowID, target->runtimeTabBinding->tabID)
        : ChromeCommand::openURLInWindow(address->text());
    const ChromeSendResult reply = co_await m_bridge.send(std::move(command));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    const QString summary = formatted(localized("Opened %@"), {target->url});
    if (!address)
        co_return reply->ok ? OpenResult::success(reply->summary.value_or(summary))
                            : OpenResult::failure(reply->summary.value_or(summary));
    co_return resultOf(*reply, summary, *address);
}

QCoro::Task<RestoreOutcome> ChromeProvider::restore(NodeList nodes, RestoreContext context)
{
    QList<AcceptedAddress> addresses;
    qsizetype skipped = 0;
    for (const WorkspaceNode &node : nodes) {
        const BrowserTarget *target = node.payload().asChromeTab();
        if (!target)
            continue;
        if (auto address = EntryRules::webAddress(target->url))
            addresses.append(std::move(*address));
        else
            ++skipped;
    }
    RestoreResult restored;
    if (skipped > 0)
        restored.results.append(skippedEntries(skipped));
    if (addresses.isEmpty())
        co_return restored;
    if (opensWithoutExtension()) {
        restored.results.prepend(co_await openWithoutExtension(addresses, context.contentRect, true));
        co_return restored;
    }
    const auto bounds = context.contentRect ? ChromeWindowBounds::fromRect(*context.contentRect) : std::nullopt;
    const AcceptedAddress first = addresses.first();
    const QString summary = formatted(localized("Restored %d tabs"), {QString::number(addresses.size())});
    QStringList urls;
    for (const AcceptedAddress &address : std::as_const(addresses))
        urls.append(address.text());
    const ChromeSendResult reply = co_await m_bridge.send(ChromeCommand::openURLsInNewWindow(std::move(urls), bounds));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    restored.results.prepend(resultOf(*reply, summary, first));
    co_return restored;
}

bool ChromeProvider::opensWithoutExtension() const
{
    return !m_bridge.isConnected() && (m_fallback.browser || m_fallback.opener);
}

QCoro::Task<OpenResult> ChromeProvider::openWithoutExtension(QList<AcceptedAddress> addresses,
                                                             std::optional<QRectF> contentRect, bool restore)
{
    const AcceptedAddress first = addresses.first();
    const qsizetype count = addresses.size();
    if (m_fallback.browser) {
        QPointer<AsyncWindowController> windows = m_windows;
        std::optional<WindowBaseline> baseline;
        if (contentRect && windows)
            baseline = co_await windows->windowBaseline();
        if (const auto launched = m_fallback.browser->openInNewWindow(addresses)) {
            if (baseline && windows) {
                OpenedWindowRequest request;
                request.identifier = QStringLiteral("browser-window:") + first.text();
                request.frame = *contentRect;
                request.baseline = std::move(*baseline);
                request.executable = launched->executable;
                request.windowClass = launched->windowClass;
                request.timeoutMs = m_fallback.windowTimeoutMs;
                co_await windows->moveOpenedWindow(std::move(request));
            }
            co_return OpenResult::success(
                restore ? formatted(localized("Restored %d tabs in a new browser window"), {QString::number(count)})
                        : formatted(localized("Opened %@"), {first.text()}),
                first.url());
        }
    }
    // No Chrome: each address goes to the default browser, and the summary
    // says that is where they went.
    qsizetype opened = 0;
    if (m_fallback.opener) {
        for (const AcceptedAddress &address : std::as_const(addresses)) {
            if (m_fallback.opener->open(address))
                ++opened;
        }
    }
    if (opened == 0)
        co_return OpenResult::failure(formatted(localized("Could not open %@"), {first.text()}));
    co_return OpenResult::success(
        restore ? formatted(localized("Chrome is not installed; opened %d tabs in the default browser"),
                            {QString::number(opened)})
                : formatted(localized("Chrome is not installed; opened %@ in the default browser"), {first.text()}),
        first.url());
}

} // namespace tarni

#include "opening/ChromeProvider.h"

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

QCoro::Task<OpenOutcome> ChromeProvider::open(WorkspaceNode node, OpenContext)
{
    const BrowserTarget *target = node.payload().asChromeTab();
    if (!target)
        co_return OpenResult::failure(QStringLiteral("Unsupported chrome payload"));
    const QString url = target->url;
    ChromeCommand command = target->runtimeTabBinding
        ? ChromeCommand::focusTab(target->runtimeTabBinding->windowID, target->runtimeTabBinding->tabID)
        : ChromeCommand::openURLInWindow(url);
    const ChromeSendResult reply = co_await m_bridge.send(std::move(command));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    co_return resultOf(*reply, QStringLiteral("Opened ") + url, url);
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
    const auto bounds = context.contentRect ? ChromeWindowBounds::fromRect(*context.contentRect) : std::nullopt;
    const QString first = urls.first();
    const QString restored = QStringLiteral("Restored %1 tabs").arg(urls.size());
    const ChromeSendResult reply = co_await m_bridge.send(ChromeCommand::openURLsInNewWindow(std::move(urls), bounds));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    co_return RestoreResult{{resultOf(*reply, restored, first)}};
}

} // namespace tarni

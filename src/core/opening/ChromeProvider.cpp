#include "opening/ChromeProvider.h"
#include "util/Localized.h"

#include "chrome/ChromeMessageCodec.h"
#include "opening/UrlProviders.h"

#include <limits>

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

qsizetype encodedSize(const ChromeCommand &command)
{
    // Every identifier has the same length in the envelope.
    return ChromeMessageCodec::encode(ChromeHostEnvelope{QUuid(), command}).size();
}

// A restore's addresses cut into requests: indices into the addresses, and
// how many addresses were too long for a request of their own.
struct RestorePlan {
    QList<QList<qsizetype>> pieces;
    qsizetype tooLong = 0;
};

RestorePlan planRestore(const QList<AcceptedAddress> &addresses)
{
    // Sized for the largest numbers either command can carry.
    constexpr std::int64_t kWidest = std::numeric_limits<std::int64_t>::min();
    const qsizetype overhead =
        std::max(encodedSize(ChromeCommand::openURLsInNewWindow({}, ChromeWindowBounds{kWidest, kWidest, kWidest, kWidest})),
                 encodedSize(ChromeCommand::openURLsInWindow(kWidest, {})));
    const qsizetype empty = encodedSize(ChromeCommand::openURLsInWindow(0, {}));

    RestorePlan plan;
    QList<qsizetype> piece;
    qsizetype bytes = overhead;
    for (qsizetype i = 0; i < addresses.size(); ++i) {
        // The address as the command writes it, and the comma before it.
        const qsizetype cost = encodedSize(ChromeCommand::openURLsInWindow(0, {addresses[i].text()})) - empty + 1;
        if (overhead + cost > ChromeProvider::kMaxRequestBytes) {
            ++plan.tooLong;
            continue;
        }
        if (!piece.isEmpty() &&
            (bytes + cost > ChromeProvider::kMaxRequestBytes || piece.size() == ChromeProvider::kMaxAddressesPerRequest)) {
            plan.pieces.append(std::move(piece));
            piece.clear();
            bytes = overhead;
        }
        piece.append(i);
        bytes += cost;
    }
    if (!piece.isEmpty())
        plan.pieces.append(std::move(piece));
    return plan;
}

} // namespace

QCoro::Task<OpenOutcome> ChromeProvider::open(WorkspaceNode node, OpenContext context)
{
    const BrowserTarget *target = node.payload().asChromeTab();
    if (!target)
        co_return OpenResult::failure(localized("Unsupported Chrome payload"));
    const QUuid nodeID = node.id();
    const auto address = EntryRules::webAddress(target->url);
    const QString summary = formatted(localized("Opened %@"), {target->url});
    // A bound tab is focused; when it has gone, the address opens instead.
    if (const auto bound = target->runtimeTabBinding ? target->runtimeTabBinding : m_tabs.binding(nodeID)) {
        const ChromeSendResult reply = co_await m_bridge.send(ChromeCommand::focusTab(bound->windowID, bound->tabID));
        if (!reply)
            co_return Failure(providerError(reply.error()));
        if (reply->ok)
            co_return address ? resultOf(*reply, summary, *address) : OpenResult::success(reply->summary.value_or(summary));
        m_tabs.unbind(nodeID);
        if (!address)
            co_return OpenResult::failure(reply->summary.value_or(summary));
    }
    if (!address)
        co_return refusedOpen(address.error());
    if (opensWithoutExtension()) {
        QList<AcceptedAddress> one;
        one.append(*address);
        OpenResult result = co_await openWithoutExtension(std::move(one), context.contentRect, false);
        co_return result;
    }
    const ChromeSendResult reply = co_await m_bridge.send(ChromeCommand::openURLInWindow(address->text()));
    if (!reply)
        co_return Failure(providerError(reply.error()));
    if (reply->ok)
        bindOpened(*reply, {nodeID});
    co_return resultOf(*reply, summary, *address);
}

QCoro::Task<RestoreOutcome> ChromeProvider::restore(NodeList nodes, RestoreContext context)
{
    QList<AcceptedAddress> addresses;
    QList<QUuid> nodeIDs;
    qsizetype skipped = 0;
    for (const WorkspaceNode &node : nodes) {
        const BrowserTarget *target = node.payload().asChromeTab();
        if (!target)
            continue;
        if (auto address = EntryRules::webAddress(target->url)) {
            addresses.append(std::move(*address));
            nodeIDs.append(node.id());
        } else {
            ++skipped;
        }
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
    const RestorePlan plan = planRestore(addresses);
    if (plan.tooLong > 0)
        restored.results.append(OpenResult::failure(
            formatted(localized("Skipped %d addresses too long to send to Chrome"), {QString::number(plan.tooLong)})));
    if (plan.pieces.isEmpty())
        co_return restored;

    std::optional<ChromeWindowBounds> bounds;
    if (context.contentRect)
        bounds = ChromeWindowBounds::fromRect(m_toScreenPixels ? m_toScreenPixels(*context.contentRect)
                                                               : *context.contentRect);
    const AcceptedAddress first = addresses[plan.pieces.first().first()];
    qsizetype asked = 0;
    for (const QList<qsizetype> &piece : plan.pieces)
        asked += piece.size();
    qsizetype opened = 0;
    std::optional<std::int64_t> windowID;
    std::optional<QString> stopped; // why the rest did not open
    for (qsizetype p = 0; p < plan.pieces.size(); ++p) {
        if (p > 0 && !windowID) {
            stopped = localized("Chrome did not say which window it opened");
            break;
        }
        const QList<qsizetype> &piece = plan.pieces[p];
        QStringList urls;
        QList<QUuid> ids;
        for (const qsizetype index : piece) {
            urls.append(addresses[index].text());
            ids.append(nodeIDs[index]);
        }
        const ChromeCommand command = p > 0 ? ChromeCommand::openURLsInWindow(*windowID, std::move(urls))
                                            : ChromeCommand::openURLsInNewWindow(std::move(urls), bounds);
        const ChromeSendResult reply = co_await m_bridge.send(command);
        if (!reply) {
            if (opened == 0)
                co_return Failure(providerError(reply.error()));
            stopped = reply.error().description();
            break;
        }
        opened += bindOpened(*reply, ids);
        if (!reply->ok) {
            stopped = reply->summary.value_or(localized("Chrome did not respond"));
            break;
        }
        if (!windowID && reply->opened && !reply->opened->isEmpty())
            windowID = reply->opened->first().windowID;
        if (!windowID && reply->windows && !reply->windows->isEmpty())
            windowID = reply->windows->first().id;
    }

    QList<OpenResult> lines;
    if (opened == 0)
        lines.append(OpenResult::failure(stopped.value_or(localized("Chrome did not respond"))));
    else if (opened == asked && !stopped)
        lines.append(OpenResult::success(formatted(localized("Restored %d tabs"), {QString::number(opened)}), first.url()));
    else
        lines.append(OpenResult::success(
            formatted(localized("Restored %d of %d tabs"), {QString::number(opened), QString::number(asked)}), first.url()));
    if (opened > 0 && stopped)
        lines.append(OpenResult::failure(*stopped));
    restored.results = lines + restored.results;
    co_return restored;
}

qsizetype ChromeProvider::bindOpened(const ChromeCommandResponse &reply, const QList<QUuid> &nodeIDs)
{
    if (!reply.opened)
        return reply.ok ? nodeIDs.size() : 0;
    // Entries that name no address of this command, or one named before,
    // are not tabs of ours to count.
    QList<bool> seen(nodeIDs.size(), false);
    qsizetype count = 0;
    for (const ChromeOpenedTab &tab : *reply.opened) {
        if (tab.index < 0 || tab.index >= nodeIDs.size() || seen[tab.index])
            continue;
        seen[tab.index] = true;
        m_tabs.bind(nodeIDs[tab.index], RuntimeTabBinding{tab.windowID, tab.tabID});
        ++count;
    }
    return count;
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

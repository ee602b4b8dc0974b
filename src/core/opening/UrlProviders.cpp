#include "opening/UrlProviders.h"
#include "util/Localized.h"

namespace tarni {

namespace {

QString couldNotOpen(const QString &address)
{
    return formatted(localized("Could not open %@"), {address});
}

} // namespace

OpenResult refusedOpen(EntryProblem problem)
{
    return OpenResult::failure(formatted(localized("Not opened: %@"), {localized(entryProblemText(problem))}));
}

OpenResult skippedEntries(qsizetype count)
{
    return OpenResult::failure(
        formatted(localized("Skipped %d entries that are not web addresses"), {QString::number(count)}));
}

QCoro::Task<OpenOutcome> WebLinkProvider::open(WorkspaceNode node, OpenContext)
{
    const auto address = EntryRules::openableAddress(node.payload());
    if (!address)
        co_return refusedOpen(address.error());
    if (!m_opener.open(*address))
        co_return OpenResult::failure(couldNotOpen(address->text()));
    co_return OpenResult::success(localized("Opened link"), address->url());
}

QCoro::Task<OpenOutcome> SlackProvider::open(WorkspaceNode node, OpenContext)
{
    const auto address = EntryRules::openableAddress(node.payload());
    if (!address)
        co_return refusedOpen(address.error());
    if (!m_opener.open(*address))
        co_return OpenResult::failure(couldNotOpen(address->text()));
    co_return OpenResult::success(localized("Opened Slack permalink"), address->url());
}

namespace {

QCoro::Task<RestoreOutcome> openEach(ExternalOpening &opener, NodeList nodes, const char *openedKey)
{
    RestoreResult restored;
    qsizetype skipped = 0;
    for (const WorkspaceNode &node : nodes) {
        const auto address = EntryRules::openableAddress(node.payload());
        if (!address) {
            ++skipped;
            continue;
        }
        const QString text = address->text();
        restored.results.append(opener.open(*address)
                                    ? OpenResult::success(formatted(localized(openedKey), {text}), address->url())
                                    : OpenResult::failure(couldNotOpen(text)));
    }
    if (skipped > 0)
        restored.results.append(skippedEntries(skipped));
    co_return restored;
}

} // namespace

QCoro::Task<RestoreOutcome> WebLinkProvider::restore(NodeList nodes, RestoreContext)
{
    return openEach(m_opener, std::move(nodes), textKey("Opened %@"));
}

QCoro::Task<RestoreOutcome> SlackProvider::restore(NodeList nodes, RestoreContext)
{
    return openEach(m_opener, std::move(nodes), textKey("Opened Slack permalink"));
}

} // namespace tarni

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

namespace {

OpenResult openOne(ExternalOpening &opener, const WorkspaceNode &node, const char *openedKey)
{
    const auto address = EntryRules::openableAddress(node.payload());
    if (!address)
        return refusedOpen(address.error());
    if (!opener.open(*address))
        return OpenResult::failure(couldNotOpen(address->text()));
    return OpenResult::success(localized(openedKey), address->url());
}

} // namespace

QCoro::Task<OpenOutcome> WebLinkProvider::open(WorkspaceNode node, OpenContext)
{
    co_return openOne(m_opener, node, textKey("Opened link"));
}

QCoro::Task<OpenOutcome> SlackProvider::open(WorkspaceNode node, OpenContext)
{
    co_return openOne(m_opener, node, textKey("Opened Slack permalink"));
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

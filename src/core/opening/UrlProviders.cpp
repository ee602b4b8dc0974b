#include "opening/UrlProviders.h"
#include "util/Localized.h"

namespace tarni {

namespace {

QString couldNotOpen(const QString &address)
{
    return formatted(localized("Could not open %@"), {address});
}

} // namespace

std::optional<QUrl> urlFromText(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QCoro::Task<OpenOutcome> WebLinkProvider::open(WorkspaceNode node, OpenContext)
{
    const WebLinkTarget *target = node.payload().asWebLink();
    const auto url = target ? urlFromText(target->url) : std::nullopt;
    if (!url)
        co_return OpenResult::failure(localized("Invalid URL"));
    if (!m_opener.open(*url))
        co_return OpenResult::failure(couldNotOpen(target->url));
    co_return OpenResult::success(localized("Opened link"), *url);
}

QCoro::Task<RestoreOutcome> WebLinkProvider::restore(NodeList nodes, RestoreContext)
{
    RestoreResult restored;
    for (const WorkspaceNode &node : nodes) {
        const WebLinkTarget *target = node.payload().asWebLink();
        const auto url = target ? urlFromText(target->url) : std::nullopt;
        if (!url)
            continue;
        const QString address = url->toString(QUrl::FullyEncoded);
        restored.results.append(m_opener.open(*url)
                                    ? OpenResult::success(formatted(localized("Opened %@"), {address}), *url)
                                    : OpenResult::failure(couldNotOpen(address)));
    }
    co_return restored;
}

QCoro::Task<OpenOutcome> SlackProvider::open(WorkspaceNode node, OpenContext)
{
    const SlackTarget *target = node.payload().asSlackThread();
    const auto url = target ? urlFromText(target->permalinkURL) : std::nullopt;
    if (!url)
        co_return OpenResult::failure(localized("Invalid Slack URL"));
    if (!m_opener.open(*url))
        co_return OpenResult::failure(couldNotOpen(target->permalinkURL));
    co_return OpenResult::success(localized("Opened Slack permalink"), *url);
}

QCoro::Task<RestoreOutcome> SlackProvider::restore(NodeList nodes, RestoreContext)
{
    RestoreResult restored;
    for (const WorkspaceNode &node : nodes) {
        const SlackTarget *target = node.payload().asSlackThread();
        const auto url = target ? urlFromText(target->permalinkURL) : std::nullopt;
        if (!url)
            continue;
        restored.results.append(m_opener.open(*url)
                                    ? OpenResult::success(localized("Opened Slack permalink"), *url)
                                    : OpenResult::failure(couldNotOpen(target->permalinkURL)));
    }
    co_return restored;
}

std::optional<QUrl> slackAppURL(const SlackTarget &target)
{
    if (!target.teamID || !target.channelID)
        return std::nullopt;
    const QString text = QStringLiteral("slack://channel?team=")
        + QString::fromLatin1(QUrl::toPercentEncoding(*target.teamID)) + QStringLiteral("&id=")
        + QString::fromLatin1(QUrl::toPercentEncoding(*target.channelID));
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

} // namespace tarni

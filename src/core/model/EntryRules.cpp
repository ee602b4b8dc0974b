#include "model/EntryRules.h"

#include "model/SlackURLParser.h"
#include "util/Localized.h"

#include <QDir>
#include <QUrlQuery>

#include <numeric>

namespace tarni {

namespace {

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c == QChar(0x2028) || c == QChar(0x2029))
            return true;
    }
    return false;
}

bool isWebScheme(const QString &scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// The parsed URL of trimmed address text, or why there is none.
EntryResult<QUrl> parseAddress(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return Failure(EntryProblem::blankAddress);
    if (hasControlCharacter(trimmed))
        return Failure(EntryProblem::notWebAddress);
    QUrl url(trimmed, QUrl::TolerantMode);
    if (!url.isValid() || url.isRelative())
        return Failure(EntryProblem::notWebAddress);
    return url;
}

// "slack://channel?team=T123&id=C456", as the desktop client's links read.
std::optional<SlackTarget> slackClientTarget(const QString &text, const QUrl &url)
{
    if (url.scheme().compare(QLatin1String("slack"), Qt::CaseInsensitive) != 0 ||
        url.host().compare(QLatin1String("channel"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QUrlQuery query(url);
    const QString team = query.queryItemValue(QStringLiteral("team"), QUrl::FullyDecoded);
    const QString id = query.queryItemValue(QStringLiteral("id"), QUrl::FullyDecoded);
    if (team.isEmpty() || id.isEmpty())
        return std::nullopt;
    SlackTarget target;
    target.permalinkURL = text.trimmed();
    target.teamID = team;
    target.channelID = id;
    return target;
}

} // namespace

const char *entryProblemText(EntryProblem problem)
{
    switch (problem) {
    case EntryProblem::blankAddress: return textKey("Enter an address.");
    case EntryProblem::notWebAddress: return textKey("The address must start with http:// or https://.");
    case EntryProblem::noHost: return textKey("The address has no host.");
    case EntryProblem::notSlackAddress: return textKey("This is not a Slack address.");
    case EntryProblem::noSlackChannel: return textKey("The address names no Slack channel or thread.");
    case EntryProblem::notAbsolutePath: return textKey("The path must be absolute.");
    case EntryProblem::blankTitle: return textKey("The title is blank.");
    }
    return textKey("The address must start with http:// or https://.");
}

const char *entryProblemReason(EntryProblem problem)
{
    switch (problem) {
    case EntryProblem::blankAddress: return textKey("no address");
    case EntryProblem::notWebAddress:
    case EntryProblem::noHost: return textKey("not a web address");
    case EntryProblem::notSlackAddress:
    case EntryProblem::noSlackChannel: return textKey("not a Slack address");
    case EntryProblem::notAbsolutePath: return textKey("not an absolute path");
    case EntryProblem::blankTitle: return textKey("no title");
    }
    return textKey("not a web address");
}

EntryResult<AcceptedAddress> EntryRules::webAddress(const QString &text)
{
    auto url = parseAddress(text);
    if (!url)
        return Failure(url.error());
    if (!isWebScheme(url->scheme().toLower()))
        return Failure(EntryProblem::notWebAddress);
    if (url->host().isEmpty())
        return Failure(EntryProblem::noHost);
    return AcceptedAddress(std::move(*url));
}

EntryResult<SlackTarget> EntryRules::slackAddress(const QString &text)
{
    auto url = parseAddress(text);
    if (!url)
        return Failure(url.error() == EntryProblem::blankAddress ? url.error() : EntryProblem::notSlackAddress);
    if (auto client = slackClientTarget(text, *url))
        return std::move(*client);
    if (!isWebScheme(url->scheme().toLower()))
        return Failure(EntryProblem::notSlackAddress);
    auto target = SlackURLParser().parse(text.trimmed());
    if (!target)
        return Failure(EntryProblem::notSlackAddress);
    if (!target->channelID || target->channelID->isEmpty())
        return Failure(EntryProblem::noSlackChannel);
    return std::move(*target);
}

EntryResult<QString> EntryRules::absolutePath(const QString &text)
{
    if (text.isEmpty() || text.contains(QChar(0)) || !text.startsWith(QLatin1Char('/')))
        return Failure(EntryProblem::notAbsolutePath);
    return QDir::cleanPath(text);
}

std::optional<EntryProblem> EntryRules::titleProblem(const QString &title)
{
    if (title.trimmed().isEmpty())
        return EntryProblem::blankTitle;
    return std::nullopt;
}

std::optional<EntryProblem> EntryRules::payloadProblem(const NodePayload &payload)
{
    if (payload.kind() == WorkspaceNodeKind::group)
        return std::nullopt;
    if (auto address = openableAddress(payload); !address)
        return address.error();
    return std::nullopt;
}

EntryResult<AcceptedAddress> EntryRules::openableAddress(const NodePayload &payload)
{
    if (const BrowserTarget *tab = payload.asChromeTab())
        return webAddress(tab->url);
    if (const WebLinkTarget *link = payload.asWebLink())
        return webAddress(link->url);
    if (const SlackTarget *slack = payload.asSlackThread()) {
        auto target = slackAddress(slack->permalinkURL);
        if (!target)
            return Failure(target.error());
        // The client's address is rebuilt from its encoded identifiers.
        if (target->permalinkURL.startsWith(QLatin1String("slack:"), Qt::CaseInsensitive)) {
            if (auto client = slackAppAddress(*target))
                return std::move(*client);
            return Failure(EntryProblem::notSlackAddress);
        }
        return webAddress(target->permalinkURL);
    }
    if (const FileTarget *file = payload.asFileTarget())
        return fileAddress(file->path);
    return Failure(EntryProblem::notWebAddress);
}

std::optional<AcceptedAddress> EntryRules::slackAppAddress(const SlackTarget &target)
{
    if (!target.teamID || !target.channelID || target.teamID->isEmpty() || target.channelID->isEmpty())
        return std::nullopt;
    QUrl url(QStringLiteral("slack://channel?team=") + QString::fromLatin1(QUrl::toPercentEncoding(*target.teamID)) +
                 QStringLiteral("&id=") + QString::fromLatin1(QUrl::toPercentEncoding(*target.channelID)),
             QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return AcceptedAddress(std::move(url));
}

EntryResult<AcceptedAddress> EntryRules::fileAddress(const QString &path)
{
    auto accepted = absolutePath(path);
    if (!accepted)
        return Failure(accepted.error());
    return AcceptedAddress(QUrl::fromLocalFile(*accepted));
}

std::int64_t EntryProblemCounts::total() const
{
    return std::accumulate(counts.begin(), counts.end(), std::int64_t(0));
}

} // namespace tarni

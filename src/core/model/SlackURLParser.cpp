#include "model/SlackURLParser.h"

#include <QStringList>
#include <QUrl>

namespace tarni {

namespace {

bool isSlackHost(const QString &host)
{
    // A plain substring test would take "slack.com.example.net" or
    // "notslack.com" for Slack; only the domain itself and its sub-domains are.
    const QString domain = QString::fromLatin1(kSlackDomain);
    return host == domain || host.endsWith(QLatin1Char('.') + domain);
}

std::optional<QString> teamFromQuery(const QUrl &url)
{
    if (!url.hasQuery())
        return std::nullopt;
    const QString query = url.query(QUrl::FullyEncoded);
    for (const QString &item : query.split(QLatin1Char('&'))) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        const QString name = QUrl::fromPercentEncoding(item.left(equals < 0 ? item.size() : equals).toUtf8());
        if (name.toLower() != QLatin1String("team"))
            continue;
        // Only the first "team" item counts; one without a value (or with an
        // empty one) names no team.
        if (equals < 0)
            return std::nullopt;
        const QString value = QUrl::fromPercentEncoding(item.mid(equals + 1).toUtf8());
        if (value.isEmpty())
            return std::nullopt;
        return value;
    }
    return std::nullopt;
}

} // namespace

QString SlackURLParser::normalizeTimestampToken(const QString &token)
{
    QString digits = token.startsWith(QLatin1Char('p')) ? token.mid(1) : token;
    if (digits.contains(QLatin1Char('.')) || digits.size() < 7)
        return digits;
    digits.insert(digits.size() - 6, QLatin1Char('.'));
    return digits;
}

std::optional<SlackTarget> SlackURLParser::parse(const QString &text) const
{
    if (text.isEmpty())
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    const QString host = url.host(QUrl::FullyDecoded);
    if (host.isEmpty() || !isSlackHost(host))
        return std::nullopt;

    const QStringList parts = url.path(QUrl::FullyDecoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);

    SlackTarget target;
    target.permalinkURL = text;
    target.preferredOpenMode = SlackOpenMode::browserPermalink;

    for (const QString &part : parts) {
        if (part.startsWith(QLatin1Char('C')) || part.startsWith(QLatin1Char('D'))) {
            target.channelID = part;
            break;
        }
    }

    target.teamID = teamFromQuery(url);
    if (!target.teamID) {
        for (const QString &part : parts) {
            if (part.startsWith(QLatin1Char('T'))) {
                target.teamID = part;
                break;
            }
        }
    }

    bool found = false;
    for (const QString &part : parts) {
        if (part.startsWith(QLatin1Char('p'))) {
            target.messageTS = normalizeTimestampToken(part);
            found = true;
            break;
        }
    }
    if (!found) {
        // Thread addresses end in "<channel>-<seconds>.<micros>".
        for (const QString &part : parts) {
            if (part.contains(QLatin1Char('-')) &&
                (part.contains(QLatin1Char('C')) || part.contains(QLatin1Char('D')))) {
                const QStringList pieces = part.split(QLatin1Char('-'), Qt::SkipEmptyParts);
                if (!pieces.isEmpty())
                    target.messageTS = normalizeTimestampToken(pieces.last());
                break;
            }
        }
    }
    return target;
}

} // namespace tarni

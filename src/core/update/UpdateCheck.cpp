#include "update/UpdateCheck.h"

#include "update/UpdateSignature.h"

#include <QBuffer>
#include <QCoro/QCoroSignal>
#include <QDeadlineTimer>
#include <QDir>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace tarni {

namespace {

constexpr int kMaxRedirects = 5;
constexpr int kTransferTimeoutMs = 60000;

struct Fetched {
    UpdateCheckResult::Outcome outcome = UpdateCheckResult::Outcome::verified; // verified: the body arrived
    UpdateProblem problem;
};

Fetched refused(const char *key, QStringList values = {})
{
    return {UpdateCheckResult::Outcome::refused, {key, std::move(values)}};
}

Fetched failed(const char *key, QStringList values = {})
{
    return {UpdateCheckResult::Outcome::failed, {key, std::move(values)}};
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

Fetched timedOut(const UpdateCheckRequest &request)
{
    return failed(textKey("The update check timed out after %@ seconds."),
                  {QString::number(std::chrono::duration<double>(request.deadline).count(), 'g', 6)});
}

// Fetches `url` into `sink`, following same-scheme redirects; more than
// `limit` bytes of body is a refusal and stops the transfer.
QCoro::Task<Fetched> fetch(QNetworkAccessManager &network, QUrl url, const UpdateCheckRequest &check,
                           const QDeadlineTimer &deadline, qint64 limit, QIODevice &sink,
                           const std::function<void(qint64, qint64)> &progress)
{
    for (int hop = 0; hop <= kMaxRedirects; ++hop) {
        if (!isAllowedUpdateURL(url, check.plainHttpAllowed))
            co_return refused(textKey("The address %@ is not https."), {url.toDisplayString()});
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0)
            co_return timedOut(check);
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setTransferTimeout(int(std::min<qint64>(kTransferTimeoutMs, remaining)));
        request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("TarniBar/" TARNI_VERSION));
        std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(network.get(request),
                                                                         [](QNetworkReply *r) {
                                                                             r->disconnect();
                                                                             r->deleteLater();
                                                                         });
        qint64 received = 0;
        bool tooLarge = false;
        bool writeFailed = false;
        bool late = false;
        QNetworkReply *raw = reply.get();
        // The transfer timeout only notices silence; a trickle needs this.
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, raw, [&late, raw] {
            late = true;
            raw->abort();
        });
        timer.start(std::chrono::milliseconds(remaining));
        QObject::connect(raw, &QNetworkReply::readyRead, raw, [&, raw] {
            const QByteArray chunk = raw->readAll();
            const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status != 200 || tooLarge || writeFailed)
                return;
            received += chunk.size();
            if (received > limit) {
                tooLarge = true;
                raw->abort();
                return;
            }
            if (sink.write(chunk) != chunk.size()) {
                writeFailed = true;
                raw->abort();
                return;
            }
            if (progress)
                progress(received, limit);
        });
        if (!raw->isFinished())
            co_await qCoro(raw, &QNetworkReply::finished);
        timer.stop();
        // Near the deadline the transfer timeout may be the one that fires.
        if (late || (raw->error() != QNetworkReply::NoError && deadline.hasExpired()))
            co_return timedOut(check);
        if (tooLarge)
            co_return refused(textKey("The download from %@ is larger than the feed said."), {url.toDisplayString()});
        if (writeFailed)
            co_return failed(textKey("The update could not be saved: %@"), {sink.errorString()});
        const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (isRedirect(status)) {
            const QUrl target = url.resolved(raw->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl());
            if (target.scheme().compare(url.scheme(), Qt::CaseInsensitive) != 0)
                co_return refused(textKey("%@ redirected to another scheme (%@)."),
                                  {url.toDisplayString(), target.scheme()});
            url = target;
            continue;
        }
        if (raw->error() != QNetworkReply::NoError)
            co_return failed(textKey("Could not fetch %@: %@"), {url.toDisplayString(), raw->errorString()});
        if (status != 200)
            co_return failed(textKey("Could not fetch %@: %@"),
                             {url.toDisplayString(), QStringLiteral("HTTP %1").arg(status)});
        co_return Fetched{};
    }
    co_return refused(textKey("Too many redirects from %@."), {url.toDisplayString()});
}

UpdateCheckResult resultOf(const Fetched &fetched)
{
    UpdateCheckResult result;
    result.outcome = fetched.outcome;
    result.problem = fetched.problem;
    return result;
}

UpdateCheckResult refusal(const char *key, QStringList values = {})
{
    return resultOf(refused(key, std::move(values)));
}

} // namespace

bool isAllowedUpdateURL(const QUrl &url, bool plainHttpAllowed)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme != QLatin1String("http"))
        return false;
    if (plainHttpAllowed)
        return true;
    const QString host = url.host();
    return host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
}

std::optional<AppcastEnclosure> enclosureFor(const AppcastItem &item, InstallKind kind)
{
    for (const AppcastEnclosure &enclosure : item.enclosures) {
        const QString name = enclosure.url.fileName().toLower();
        switch (kind) {
        case InstallKind::none:
            return enclosure;
        case InstallKind::tarball:
            if (name.endsWith(QLatin1String(".tar.gz")) || name.endsWith(QLatin1String(".tgz")))
                return enclosure;
            break;
        case InstallKind::debianPackage:
            if (name.endsWith(QLatin1String(".deb")))
                return enclosure;
            break;
        }
    }
    return std::nullopt;
}

QCoro::Task<UpdateCheckResult> checkForUpdate(QNetworkAccessManager &network, UpdateCheckRequest request)
{
    const QDeadlineTimer deadline(request.deadline);
    QBuffer feed;
    feed.open(QIODevice::WriteOnly);
    const Fetched feedFetch =
        co_await fetch(network, QUrl(request.configuration.feedURL), request, deadline, kMaxFeedBytes, feed, {});
    if (feedFetch.outcome != UpdateCheckResult::Outcome::verified)
        co_return resultOf(feedFetch);

    const auto items = parseAppcast(feed.data());
    if (!items)
        co_return refusal(items.error().key, items.error().values);
    const auto newest = newestItem(*items);
    if (!newest) {
        UpdateCheckResult upToDate;
        upToDate.outcome = UpdateCheckResult::Outcome::upToDate;
        co_return upToDate;
    }
    const auto order = compareVersions(newest->version, request.currentVersion);
    if (!order) {
        UpdateCheckResult result;
        result.problem = {textKey("The running version %@ cannot be compared."), {request.currentVersion}};
        co_return result;
    }
    if (*order <= 0) {
        UpdateCheckResult upToDate;
        upToDate.outcome = UpdateCheckResult::Outcome::upToDate;
        if (*order == 0)
            upToDate.item = *newest;
        co_return upToDate;
    }

    const auto enclosure = enclosureFor(*newest, request.kind);
    if (!enclosure)
        co_return refusal(textKey("Version %@ offers no package for this kind of installation."),
                          {newest->displayVersion()});
    if (enclosure->length <= 0 || enclosure->length > kMaxPackageBytes)
        co_return refusal(textKey("The feed gives version %@ an impossible size."), {newest->displayVersion()});
    if (enclosure->edSignature.isEmpty())
        co_return refusal(textKey("Version %@ is not signed."), {newest->displayVersion()});
    if (request.found)
        request.found(*newest);

    const QString directory = request.downloadDirectory.isEmpty() ? QDir::tempPath() : request.downloadDirectory;
    auto file = std::make_shared<QTemporaryFile>(directory + QStringLiteral("/tarnibar-update-XXXXXX"));
    if (!file->open()) {
        UpdateCheckResult result;
        result.problem = {textKey("The update could not be saved: %@"), {file->errorString()}};
        co_return result;
    }
    const Fetched download =
        co_await fetch(network, enclosure->url, request, deadline, enclosure->length, *file, request.progress);
    if (download.outcome != UpdateCheckResult::Outcome::verified)
        co_return resultOf(download);
    if (!file->flush() || file->size() != enclosure->length)
        co_return refusal(textKey("The download of version %@ has %@ bytes instead of %@."),
                          {newest->displayVersion(), QString::number(file->size()), QString::number(enclosure->length)});
    switch (verifyFileSignature(file->fileName(), enclosure->edSignature, request.configuration.publicEDKey)) {
    case SignatureCheck::valid:
        break;
    case SignatureCheck::badSignatureEncoding:
    case SignatureCheck::mismatch:
        co_return refusal(textKey("The signature of version %@ does not match; the download was discarded."),
                          {newest->displayVersion()});
    case SignatureCheck::badKey:
    case SignatureCheck::unreadable:
        co_return refusal(textKey("The signature of version %@ could not be checked."), {newest->displayVersion()});
    }
    UpdateCheckResult result;
    result.outcome = UpdateCheckResult::Outcome::verified;
    result.item = *newest;
    result.enclosure = *enclosure;
    result.file = std::move(file);
    co_return result;
}

} // namespace tarni

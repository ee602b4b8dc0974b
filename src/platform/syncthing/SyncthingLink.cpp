#include "platform/syncthing/SyncthingLink.h"

#include <QCoro/QCoroSignal>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace tarni {

namespace {

using Kind = SyncthingError::Kind;

SyncthingError badResponse()
{
    return {Kind::badResponse, textKey("Syncthing sent an answer that could not be read."), {}};
}

// Resolves symbolic links in the part of the path that exists, so that two
// spellings of one folder compare equal, also before it is made.
QString comparablePath(const QString &path)
{
    QString existing = QDir::cleanPath(path);
    QString rest;
    while (!QFileInfo::exists(existing) && existing.count(QLatin1Char('/')) > 1) {
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        rest.prepend(existing.mid(slash));
        existing.truncate(slash);
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return (canonical.isEmpty() ? existing : canonical) + rest;
}

// Syncthing keeps a path as it was typed and expands a leading "~" to its
// own home.
QString expandedPath(const QString &path, const QString &tilde)
{
    if (path == QLatin1String("~"))
        return tilde;
    if (path.startsWith(QLatin1String("~/")))
        return tilde + path.mid(1);
    return path;
}

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

QString newFolderId(const QList<SyncthingFolder> &existing)
{
    static constexpr char alphabet[] = "abcdefghijkmnopqrstuvwxyz23456789";
    for (;;) {
        QString id = QStringLiteral("tarnibar-");
        for (int i = 0; i < 10; ++i)
            id += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(int(sizeof alphabet) - 1)]);
        if (std::none_of(existing.begin(), existing.end(), [&](const SyncthingFolder &f) { return f.id == id; }))
            return id;
    }
}

} // namespace

SyncthingLink::SyncthingLink(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_network(new QNetworkAccessManager(this))
{
    m_network->setProxy(QNetworkProxy::NoProxy);
}

SyncthingLink::~SyncthingLink() = default;

SyncthingResult<SyncthingEndpoint> SyncthingLink::endpoint() const
{
    const QString path = findSyncthingConfig(m_options.environment, m_options.home);
    if (path.isEmpty())
        return Failure(SyncthingError{Kind::noConfig, textKey("Syncthing's configuration was not found."), {}});
    return readSyncthingConfig(path);
}

QCoro::Task<SyncthingResult<QByteArray>> SyncthingLink::send(QByteArray verb, QString path, QByteArray body)
{
    auto found = endpoint();
    if (!found)
        co_return Failure(found.error());
    const SyncthingEndpoint target = *found;
    const QString address = target.baseUrl.toDisplayString();
    QUrl url = target.baseUrl;
    url.setPath(path);
    QNetworkRequest request(url);
    request.setRawHeader("X-API-Key", target.apiKey);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (!body.isNull())
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        verb == "GET" ? m_network->get(request) : m_network->sendCustomRequest(request, verb, body),
        [](QNetworkReply *r) {
            r->disconnect();
            r->deleteLater();
        });
    QNetworkReply *raw = reply.get();
    QByteArray received;
    bool tooLarge = false;
    bool late = false;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, raw, [&late, raw] {
        late = true;
        raw->abort();
    });
    timer.start(m_options.timeout);
    QObject::connect(raw, &QNetworkReply::readyRead, raw, [&, raw] {
        received += raw->readAll();
        if (received.size() > kMaxReplyBytes && !tooLarge) {
            tooLarge = true;
            raw->abort();
        }
    });
    const QString seconds = QString::number(std::chrono::duration<double>(m_options.timeout).count(), 'g', 3);
    if (!raw->isFinished())
        co_await qCoro(raw, &QNetworkReply::finished);
    timer.stop();
    if (late)
        co_return Failure(SyncthingError{Kind::timedOut, textKey("Syncthing at %@ did not answer within %@ seconds."),
                                         {address, seconds}});
    if (tooLarge)
        co_return Failure(badResponse());
    const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401 || status == 403)
        co_return Failure(SyncthingError{Kind::unauthorized,
                                         textKey("Syncthing at %@ refused the API key from %@."),
                                         {address, QDir::toNativeSeparators(target.configPath)}});
    received += raw->readAll();
    if (status >= 200 && status < 300 && raw->error() == QNetworkReply::NoError)
        co_return received;
    if (status > 0) {
        QString detail = QString::fromUtf8(received.left(300)).simplified();
        if (detail.isEmpty())
            detail = raw->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        co_return Failure(SyncthingError{Kind::refused, textKey("Syncthing at %@ refused the request (HTTP %@): %@"),
                                         {address, QString::number(status), detail}});
    }
    if (raw->error() == QNetworkReply::ConnectionRefusedError)
        co_return Failure(SyncthingError{Kind::notRunning, textKey("Syncthing is not running: nothing answers at %@."),
                                         {address}});
    co_return Failure(SyncthingError{Kind::network, textKey("Could not reach Syncthing at %@: %@"),
                                     {address, raw->errorString()}});
}

QCoro::Task<SyncthingResult<QJsonValue>> SyncthingLink::get(QString path)
{
    auto body = co_await send(QByteArrayLiteral("GET"), std::move(path), {});
    if (!body)
        co_return Failure(body.error());
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(*body, &error);
    if (error.error != QJsonParseError::NoError)
        co_return Failure(badResponse());
    co_return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

QCoro::Task<SyncthingResult<void>> SyncthingLink::ping()
{
    auto answer = co_await get(QStringLiteral("/rest/system/ping"));
    if (!answer)
        co_return Failure(answer.error());
    if (answer->toObject().value(QLatin1String("ping")).toString() != QLatin1String("pong"))
        co_return Failure(badResponse());
    co_return {};
}

QCoro::Task<SyncthingStatus> SyncthingLink::status()
{
    SyncthingStatus status;
    const QStringList path = m_options.environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    status.installed = !QStandardPaths::findExecutable(QStringLiteral("syncthing"), path).isEmpty();
    status.configPath = findSyncthingConfig(m_options.environment, m_options.home);
    auto answer = co_await get(QStringLiteral("/rest/system/status"));
    if (!answer) {
        status.problem = answer.error();
        co_return status;
    }
    status.deviceId = answer->toObject().value(QLatin1String("myID")).toString();
    status.running = !status.deviceId.isEmpty();
    if (!status.running)
        status.problem = badResponse();
    co_return status;
}

QCoro::Task<SyncthingResult<QList<SyncthingFolder>>> SyncthingLink::folders()
{
    auto answer = co_await get(QStringLiteral("/rest/config/folders"));
    if (!answer)
        co_return Failure(answer.error());
    if (!answer->isArray())
        co_return Failure(badResponse());
    QList<SyncthingFolder> folders;
    for (const QJsonValue &value : answer->toArray()) {
        const QJsonObject object = value.toObject();
        SyncthingFolder folder{object.value(QLatin1String("id")).toString(), object.value(QLatin1String("label")).toString(),
                               object.value(QLatin1String("path")).toString(), object.value(QLatin1String("type")).toString()};
        if (folder.id.isEmpty() || folder.path.isEmpty())
            co_return Failure(badResponse());
        folders << folder;
    }
    co_return folders;
}

QCoro::Task<SyncthingResult<SyncthingFolderOutcome>> SyncthingLink::ensureFolder(QString path, QString label)
{
    const QString wanted = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    auto system = co_await get(QStringLiteral("/rest/system/status"));
    if (!system)
        co_return Failure(system.error());
    const QString tilde = system->toObject().value(QLatin1String("tilde")).toString();
    auto existing = co_await folders();
    if (!existing)
        co_return Failure(existing.error());

    const QString mine = comparablePath(wanted);
    std::optional<SyncthingFolder> holder; // one that the path lies inside
    std::optional<SyncthingFolder> held;   // one that lies inside the path
    for (const SyncthingFolder &folder : std::as_const(*existing)) {
        const QString theirs = comparablePath(tilde.isEmpty() ? folder.path : expandedPath(folder.path, tilde));
        if (theirs == mine)
            co_return SyncthingFolderOutcome{SyncthingFolderOutcome::Kind::alreadyShared, folder};
        if (!holder && isInside(mine, theirs))
            holder = folder;
        if (!held && isInside(theirs, mine))
            held = folder;
    }
    if (holder)
        co_return SyncthingFolderOutcome{SyncthingFolderOutcome::Kind::insideShared, *holder};
    if (held)
        co_return Failure(SyncthingError{Kind::folderOverlap,
                                         textKey("The folder %@ holds Syncthing's folder “%@”, whose files would then be shared twice."),
                                         {QDir::toNativeSeparators(wanted), held->label.isEmpty() ? held->id : held->label}});

    const QFileInfo info(wanted);
    const bool made = info.exists() ? info.isDir()
                                    : QDir().mkpath(wanted) &&
                                          QFile::setPermissions(wanted, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!made)
        co_return Failure(SyncthingError{Kind::localFolder, textKey("The folder %@ could not be created."),
                                         {QDir::toNativeSeparators(wanted)}});
    const SyncthingFolder folder{newFolderId(*existing), label, wanted, QStringLiteral("sendreceive")};
    const QJsonObject object{{QLatin1String("id"), folder.id},
                             {QLatin1String("label"), folder.label},
                             {QLatin1String("path"), folder.path},
                             {QLatin1String("type"), folder.type}};
    auto posted = co_await send(QByteArrayLiteral("POST"), QStringLiteral("/rest/config/folders"),
                                QJsonDocument(object).toJson(QJsonDocument::Compact));
    if (!posted)
        co_return Failure(posted.error());
    co_return SyncthingFolderOutcome{SyncthingFolderOutcome::Kind::created, folder};
}

} // namespace tarni

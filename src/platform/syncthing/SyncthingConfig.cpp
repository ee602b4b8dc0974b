#include "platform/syncthing/SyncthingConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QXmlStreamReader>

namespace tarni {

namespace {

SyncthingError configError(SyncthingError::Kind kind, const char *key, const QString &path)
{
    return {kind, key, {QDir::toNativeSeparators(path)}};
}

SyncthingError invalid(const QString &path)
{
    return configError(SyncthingError::Kind::badConfig, textKey("Syncthing's configuration %@ could not be read."),
                       path);
}

// A key we can send as a header as it is: visible ASCII only.
bool isUsableApiKey(const QString &key)
{
    if (key.isEmpty() || key.size() > 1024)
        return false;
    for (const QChar c : key) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

SyncthingResult<QUrl> apiUrl(const QString &path, QString address, bool tls)
{
    auto unsupported = [&](const char *key) {
        return Failure(SyncthingError{SyncthingError::Kind::unsupportedAddress, key, {address}});
    };
    address = address.trimmed();
    if (address.startsWith(QLatin1Char('/')) || address.startsWith(QLatin1String("unix://")))
        return unsupported(textKey("Syncthing's web interface listens on the Unix socket %@, which is not supported."));
    if (address.startsWith(QLatin1String("https://")))
        tls = true;
    else if (address.startsWith(QLatin1String("http://")))
        address = address.mid(7);
    if (tls)
        return unsupported(textKey("Syncthing's web interface at %@ uses HTTPS, which is not supported."));
    const QUrl url(QStringLiteral("http://") + address, QUrl::StrictMode);
    if (address.isEmpty() || !url.isValid() || url.port() <= 0 || !url.userInfo().isEmpty() ||
        (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery() || url.hasFragment())
        return Failure(invalid(path));
    // An address on every interface is reached on loopback, as Syncthing
    // itself does; a name is never looked up.
    QString host = url.host();
    if (host.isEmpty() || host == QLatin1String("0.0.0.0") || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    else if (host == QLatin1String("::"))
        host = QStringLiteral("::1");
    if (!QHostAddress(host).isLoopback())
        return unsupported(textKey("Syncthing's web interface at %@ is not on this computer."));
    QUrl base;
    base.setScheme(QStringLiteral("http"));
    base.setHost(host);
    base.setPort(url.port());
    return base;
}

} // namespace

QString findSyncthingConfig(const QProcessEnvironment &environment, const QString &home)
{
    const QString name = QStringLiteral("config.xml");
    if (!home.isEmpty()) {
        const QString path = QDir(home).filePath(name);
        return QFileInfo(path).isFile() ? path : QString();
    }
    const QString userHome = environment.value(QStringLiteral("HOME"));
    QStringList folders;
    auto add = [&](const QString &base) {
        // As the XDG rules say, a relative base is ignored.
        if (QDir::isAbsolutePath(base))
            folders << QDir(base).filePath(QStringLiteral("syncthing"));
    };
    add(environment.value(QStringLiteral("XDG_STATE_HOME")));
    if (!userHome.isEmpty())
        add(QDir(userHome).filePath(QStringLiteral(".local/state")));
    add(environment.value(QStringLiteral("XDG_CONFIG_HOME")));
    if (!userHome.isEmpty())
        add(QDir(userHome).filePath(QStringLiteral(".config")));
    for (const QString &folder : std::as_const(folders)) {
        const QString path = QDir(folder).filePath(name);
        if (QFileInfo(path).isFile())
            return path;
    }
    return {};
}

SyncthingResult<SyncthingEndpoint> readSyncthingConfig(const QString &path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return Failure(invalid(path));
    return parseSyncthingConfig(file.read(kMaxSyncthingConfigBytes + 1), path);
}

SyncthingResult<SyncthingEndpoint> parseSyncthingConfig(const QByteArray &data, const QString &path)
{
    if (data.size() > kMaxSyncthingConfigBytes)
        return Failure(configError(SyncthingError::Kind::badConfig,
                                   textKey("Syncthing's configuration %@ is too large to be read."), path));

    QXmlStreamReader xml(data);
    // A DTD could declare entities; Syncthing never writes one.
    while (!xml.atEnd() && xml.readNext() != QXmlStreamReader::StartElement) {
        if (xml.tokenType() == QXmlStreamReader::DTD)
            return Failure(invalid(path));
    }
    if (xml.hasError() || !xml.isStartElement() || xml.name() != QLatin1String("configuration"))
        return Failure(invalid(path));
    bool sawGui = false;
    bool enabled = true;
    bool tls = false;
    QString address;
    QString apiKey;
    while (xml.readNextStartElement()) {
        if (xml.name() != QLatin1String("gui") || sawGui) {
            xml.skipCurrentElement();
            continue;
        }
        sawGui = true;
        const QXmlStreamAttributes attributes = xml.attributes();
        enabled = attributes.value(QLatin1String("enabled")) != QLatin1String("false");
        tls = attributes.value(QLatin1String("tls")) == QLatin1String("true");
        while (xml.readNextStartElement()) {
            if (xml.name() == QLatin1String("address"))
                address = xml.readElementText();
            else if (xml.name() == QLatin1String("apikey"))
                apiKey = xml.readElementText().trimmed();
            else
                xml.skipCurrentElement();
        }
    }
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError() || !sawGui)
        return Failure(invalid(path));
    if (!enabled)
        return Failure(configError(SyncthingError::Kind::unsupportedAddress,
                                   textKey("Syncthing's web interface is turned off in %@."), path));
    if (!isUsableApiKey(apiKey))
        return Failure(configError(SyncthingError::Kind::badConfig,
                                   textKey("Syncthing's configuration %@ has no usable API key."), path));
    auto url = apiUrl(path, address, tls);
    if (!url)
        return Failure(url.error());
    return SyncthingEndpoint{path, *url, apiKey.toLatin1()};
}

} // namespace tarni

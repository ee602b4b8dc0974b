#include "update/UpdateConfiguration.h"

#include "app/Resources.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace tarni {

bool UpdateConfiguration::feedIsPlainHttp() const
{
    return QUrl(feedURL).scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0;
}

std::optional<UpdateConfiguration> validUpdateConfiguration(const QVariantMap &info)
{
    const QVariant feed = info.value(QLatin1String(kFeedURLKey));
    const QVariant key = info.value(QLatin1String(kPublicEDKeyKey));
    if (feed.typeId() != QMetaType::QString || key.typeId() != QMetaType::QString)
        return std::nullopt;
    UpdateConfiguration configuration{feed.toString(), key.toString()};
    if (configuration.feedURL.isEmpty() || configuration.publicEDKey.isEmpty())
        return std::nullopt;
    if (configuration.feedURL.contains(QLatin1String("$(")) || configuration.publicEDKey.contains(QLatin1String("$(")))
        return std::nullopt;
    const auto decoded = QByteArray::fromBase64Encoding(configuration.publicEDKey.toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 32)
        return std::nullopt;
    const QUrl url(configuration.feedURL, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        return std::nullopt;
    return configuration;
}

QVariantMap readUpdateConfiguration(const std::filesystem::path &file)
{
    QFile in(QString::fromStdString(file.string()));
    if (!in.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(in.read(64 * 1024));
    return document.isObject() ? document.object().toVariantMap() : QVariantMap();
}

std::filesystem::path updateConfigurationFile()
{
    const std::filesystem::path resources = resourceDirectory();
    if (resources == std::filesystem::path(TARNI_SOURCE_RESOURCES))
        return TARNI_BUILD_UPDATE_CONFIGURATION;
    return resources / "UpdateConfiguration.json";
}

} // namespace tarni

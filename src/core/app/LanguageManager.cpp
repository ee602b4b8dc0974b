#include "app/LanguageManager.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

namespace tarni {

namespace {

// Tables are a few hundred entries; anything far larger is not one.
constexpr qint64 kMaxTableBytes = 4 * 1024 * 1024;

} // namespace

LanguageManager::LanguageManager(QSettings &settings, std::filesystem::path resourceDirectory,
                                 PreferredLanguages preferredLanguages, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_resources(std::move(resourceDirectory))
    , m_preferred(std::move(preferredLanguages))
{
    if (!m_preferred)
        m_preferred = [] { return QLocale::system().uiLanguages(); };
    const QString saved = m_settings.value(QLatin1String(kAppLanguageSettingsKey)).toString();
    apply(appLanguageFromRawValue(saved).value_or(AppLanguage::system));
}

StringTable LanguageManager::loadStrings(const std::filesystem::path &file)
{
    StringTable table;
    QFile in(QString::fromStdString(file.string()));
    if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxTableBytes)
        return table;
    const QJsonDocument document = QJsonDocument::fromJson(in.readAll());
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.value().isString())
            table.insert(it.key(), it.value().toString());
    }
    return table;
}

void LanguageManager::apply(AppLanguage language)
{
    m_language = language;
    m_code = resolvedLanguageCode(language, m_preferred());
    const auto file = m_resources / ("Localization-" + m_code.toStdString() + ".json");
    setLocalizedStrings(std::make_shared<const StringTable>(loadStrings(file)));
}

void LanguageManager::setLanguage(AppLanguage language)
{
    m_settings.setValue(QLatin1String(kAppLanguageSettingsKey), rawValue(language));
    apply(language);
    ++m_refreshToken;
    Q_EMIT refreshTokenChanged();
    Q_EMIT languageDidChange(language);
}

void LanguageManager::resetToSystem()
{
    m_settings.remove(QLatin1String(kAppLanguageSettingsKey));
    apply(AppLanguage::system);
    ++m_refreshToken;
    Q_EMIT refreshTokenChanged();
    Q_EMIT languageDidChange(AppLanguage::system);
}

} // namespace tarni

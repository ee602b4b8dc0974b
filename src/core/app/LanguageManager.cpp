#include "app/LanguageManager.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

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
    , m_qtTranslations(QLibraryInfo::path(QLibraryInfo::TranslationsPath))
{
    if (!m_preferred)
        m_preferred = [] { return QLocale::system().uiLanguages(); };
    const QString saved = m_settings.value(QLatin1String(kAppLanguageSettingsKey)).toString();
    apply(appLanguageFromRawValue(saved).value_or(AppLanguage::system));
}

LanguageManager::~LanguageManager()
{
    if (m_qtTranslator)
        QCoreApplication::removeTranslator(m_qtTranslator.get());
}

QLocale LanguageManager::localeFor(const QString &code, const QLocale &system)
{
    if (code == QLatin1String("ja"))
        return QLocale(QLocale::Japanese, QLocale::Japan);
    if (code == QLatin1String("zh-Hans"))
        return QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China);
    if (system.language() == QLocale::English)
        return system;
    return QLocale(QLocale::English, QLocale::UnitedStates);
}

bool LanguageManager::hasQtTranslation() const
{
    return m_qtTranslator && !m_qtTranslator->isEmpty();
}

void LanguageManager::installQtTranslation()
{
    // Installing sends every widget a LanguageChange event; removing the old
    // one first keeps a lookup from finding the previous language.
    if (m_qtTranslator) {
        QCoreApplication::removeTranslator(m_qtTranslator.get());
        m_qtTranslator.reset();
    }
    if (m_code == QLatin1String("en") || !QCoreApplication::instance())
        return;
    auto translator = std::make_unique<QTranslator>();
    // qtbase_zh_CN for Simplified Chinese, qtbase_ja for Japanese.
    if (!translator->load(locale(), QStringLiteral("qtbase"), QStringLiteral("_"), m_qtTranslations))
        return;
    QCoreApplication::installTranslator(translator.get());
    m_qtTranslator = std::move(translator);
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
    // Qt's widgets that write numbers and dates (spin boxes, date fields)
    // use the default locale.
    QLocale::setDefault(locale());
    installQtTranslation();
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

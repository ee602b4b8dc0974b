#include "app/AppLanguage.h"

#include "util/Localized.h"

namespace tarni {

QString rawValue(AppLanguage language)
{
    switch (language) {
    case AppLanguage::system:
        return QStringLiteral("system");
    case AppLanguage::english:
        return QStringLiteral("english");
    case AppLanguage::japanese:
        return QStringLiteral("japanese");
    case AppLanguage::simplifiedChinese:
        return QStringLiteral("simplifiedChinese");
    }
    return {};
}

std::optional<AppLanguage> appLanguageFromRawValue(const QString &text)
{
    for (AppLanguage language : kAllAppLanguages) {
        if (rawValue(language) == text)
            return language;
    }
    return std::nullopt;
}

QString resolvedLanguageCode(AppLanguage language, const QStringList &preferredLanguages)
{
    switch (language) {
    case AppLanguage::english:
        return QStringLiteral("en");
    case AppLanguage::japanese:
        return QStringLiteral("ja");
    case AppLanguage::simplifiedChinese:
        return QStringLiteral("zh-Hans");
    case AppLanguage::system:
        break;
    }
    const QString first = preferredLanguages.value(0, QStringLiteral("en"));
    if (first.startsWith(QLatin1String("ja")))
        return QStringLiteral("ja");
    if (first.startsWith(QLatin1String("zh")))
        return QStringLiteral("zh-Hans");
    return QStringLiteral("en");
}

QString languageDisplayName(AppLanguage language)
{
    switch (language) {
    case AppLanguage::system:
        return localized("System");
    case AppLanguage::english:
        return localized("English");
    case AppLanguage::japanese:
        return QStringLiteral("日本語");
    case AppLanguage::simplifiedChinese:
        return QStringLiteral("简体中文");
    }
    return {};
}

} // namespace tarni

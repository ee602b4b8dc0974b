#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace tarni {

// The interface language the user chose, or the desktop's. The order is the
// order of the language pickers.
enum class AppLanguage { system, english, japanese, simplifiedChinese };

inline constexpr std::array kAllAppLanguages{AppLanguage::system, AppLanguage::english, AppLanguage::japanese,
                                             AppLanguage::simplifiedChinese};

QString rawValue(AppLanguage language);
std::optional<AppLanguage> appLanguageFromRawValue(const QString &text);

// "en", "ja" or "zh-Hans". `system` follows the first of the preferred
// languages: ja… gives Japanese, zh… (any Chinese) Simplified Chinese,
// anything else or nothing English.
// The name the language pickers show: Japanese and Chinese in their own
// script whatever the interface language, so that a user can find them.
QString languageDisplayName(AppLanguage language);

QString resolvedLanguageCode(AppLanguage language, const QStringList &preferredLanguages);

} // namespace tarni

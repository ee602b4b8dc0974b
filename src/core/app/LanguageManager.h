#pragma once

#include "app/AppLanguage.h"
#include "util/Localized.h"

#include <QObject>
#include <QSettings>

#include <filesystem>
#include <functional>

namespace tarni {

inline constexpr const char *kAppLanguageSettingsKey = "appLanguage";

// Holds the user's language choice (the settings entry "appLanguage"; absent
// means the desktop's language), loads the matching string table
// "Localization-<code>.json" from the resource folder and makes it the one
// every lookup reads.
class LanguageManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(int refreshToken READ refreshToken NOTIFY refreshTokenChanged)
public:
    using PreferredLanguages = std::function<QStringList()>;

    // `preferredLanguages` defaults to the desktop's (QLocale::system()).
    LanguageManager(QSettings &settings, std::filesystem::path resourceDirectory,
                    PreferredLanguages preferredLanguages = {}, QObject *parent = nullptr);

    AppLanguage currentLanguage() const { return m_language; }
    // Grows by one on every change, so that views redraw their texts.
    int refreshToken() const { return m_refreshToken; }
    // The code of the table in use: "en", "ja" or "zh-Hans".
    const QString &resolvedCode() const { return m_code; }

    void setLanguage(AppLanguage language);
    // Forgets the choice and follows the desktop.
    void resetToSystem();

    // The table of one language; empty when missing or malformed.
    static StringTable loadStrings(const std::filesystem::path &file);

Q_SIGNALS:
    void refreshTokenChanged();
    // After every change, with the new choice.
    void languageDidChange(tarni::AppLanguage language);

private:
    void apply(AppLanguage language);

    QSettings &m_settings;
    std::filesystem::path m_resources;
    PreferredLanguages m_preferred;
    AppLanguage m_language = AppLanguage::system;
    QString m_code;
    int m_refreshToken = 0;
};

} // namespace tarni

#pragma once

#include "app/AppLanguage.h"
#include "util/Localized.h"

#include <QLocale>
#include <QObject>
#include <QSettings>

#include <filesystem>
#include <functional>
#include <memory>

class QTranslator;

namespace tarni {

inline constexpr const char *kAppLanguageSettingsKey = "appLanguage";

// Holds the user's language choice (the settings entry "appLanguage"; absent
// means the desktop's language), loads the matching string table
// "Localization-<code>.json" from the resource folder and makes it the one
// every lookup reads. Qt's own texts (file dialogs, standard buttons, the
// text fields' menus) follow through Qt's translation of the same language.
class LanguageManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(int refreshToken READ refreshToken NOTIFY refreshTokenChanged)
public:
    using PreferredLanguages = std::function<QStringList()>;

    // `preferredLanguages` defaults to the desktop's (QLocale::system()).
    LanguageManager(QSettings &settings, std::filesystem::path resourceDirectory,
                    PreferredLanguages preferredLanguages = {}, QObject *parent = nullptr);
    ~LanguageManager() override;

    AppLanguage currentLanguage() const { return m_language; }
    // Grows by one on every change, so that views redraw their texts.
    int refreshToken() const { return m_refreshToken; }
    // The code of the table in use: "en", "ja" or "zh-Hans".
    const QString &resolvedCode() const { return m_code; }
    // The locale for dates and numbers shown in the interface language.
    // English keeps the desktop's conventions (day and month order, clock)
    // when the desktop is English too.
    QLocale locale() const { return localeFor(m_code, QLocale::system()); }
    static QLocale localeFor(const QString &code, const QLocale &system);
    // The folder Qt's translations are read from; Qt's installed ones by
    // default. Takes effect at the next change of language.
    void setQtTranslationsDirectory(const QString &directory) { m_qtTranslations = directory; }
    // Whether Qt's own texts are translated now (false for English, and
    // when the translation is not installed).
    bool hasQtTranslation() const;

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
    void installQtTranslation();

    QSettings &m_settings;
    std::filesystem::path m_resources;
    PreferredLanguages m_preferred;
    AppLanguage m_language = AppLanguage::system;
    QString m_code;
    int m_refreshToken = 0;
    QString m_qtTranslations;
    std::unique_ptr<QTranslator> m_qtTranslator;
};

} // namespace tarni

// The language choice and the tables it loads, on tables of the test's own.

#include "app/LanguageManager.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

class LanguageManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *code : {"en", "ja", "zh-Hans"}) {
            QFile table(dir.filePath(QStringLiteral("Localization-%1.json").arg(QLatin1String(code))));
            ASSERT_TRUE(table.open(QIODevice::WriteOnly));
            table.write(QStringLiteral(R"j({"Open": "Open (%1)"})j").arg(QLatin1String(code)).toUtf8());
        }
    }
    void TearDown() override { setLocalizedStrings(nullptr); }

    std::unique_ptr<LanguageManager> make(const QString &preferred)
    {
        return std::make_unique<LanguageManager>(settings, dir.path().toStdString(),
                                                 [preferred] { return QStringList{preferred}; });
    }

    QTemporaryDir dir;
    QSettings settings{dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat};
};

TEST_F(LanguageManagerTest, TheDesktopLanguagePicksTheTableUntilTheUserChooses)
{
    const std::pair<const char *, const char *> cases[] = {
        {"ja-JP", "Open (ja)"}, {"zh-Hant-TW", "Open (zh-Hans)"}, {"fr-FR", "Open (en)"}, {"", "Open (en)"}};
    for (const auto &[preferred, expected] : cases) {
        auto manager = make(QString::fromLatin1(preferred));
        EXPECT_EQ(manager->currentLanguage(), AppLanguage::system);
        EXPECT_EQ(localized("Open"), QString::fromLatin1(expected)) << preferred;
        EXPECT_EQ(localized("Not in any table"), QStringLiteral("Not in any table"));
    }

    settings.setValue(QStringLiteral("appLanguage"), QStringLiteral("klingon"));
    EXPECT_EQ(make(QStringLiteral("ja"))->currentLanguage(), AppLanguage::system);

    auto manager = make(QStringLiteral("ja"));
    manager->setLanguage(AppLanguage::simplifiedChinese);
    EXPECT_EQ(localized("Open"), QStringLiteral("Open (zh-Hans)"));
    EXPECT_EQ(settings.value(QStringLiteral("appLanguage")).toString(), QStringLiteral("simplifiedChinese"));
    EXPECT_EQ(make(QStringLiteral("ja"))->currentLanguage(), AppLanguage::simplifiedChinese);

    manager->resetToSystem();
    EXPECT_FALSE(settings.contains(QStringLiteral("appLanguage")));
    EXPECT_EQ(localized("Open"), QStringLiteral("Open (ja)"));
}

TEST_F(LanguageManagerTest, AMissingOrMalformedTableShowsTheKeys)
{
    QFile broken(dir.filePath(QStringLiteral("Localization-ja.json")));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("{\"Open\": ");
    broken.close();
    make(QStringLiteral("ja"));
    EXPECT_EQ(localized("Open"), QStringLiteral("Open"));
    ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("Localization-en.json"))));
    make(QStringLiteral("en"));
    EXPECT_EQ(localized("Open"), QStringLiteral("Open"));
}

// Qt's own texts (standard buttons, file dialogs) switch with ours, from
// Qt's installed translations.
TEST_F(LanguageManagerTest, QtsOwnTextsFollowTheInterfaceLanguage)
{
    int argc = 1;
    char name[] = "test_LanguageManager";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    auto cancel = [] { return QCoreApplication::translate("QPlatformTheme", "Cancel"); };
    auto manager = make(QStringLiteral("ja-JP"));
    EXPECT_EQ(cancel(), QStringLiteral("キャンセル"));
    manager->setLanguage(AppLanguage::simplifiedChinese);
    EXPECT_EQ(cancel(), QStringLiteral("取消"));
    EXPECT_EQ(QLocale().name(), QStringLiteral("zh_CN"));
    manager->setLanguage(AppLanguage::english);
    EXPECT_EQ(cancel(), QStringLiteral("Cancel"));
    EXPECT_FALSE(manager->hasQtTranslation());

    // Without Qt's translations installed, Qt stays in English.
    manager->setQtTranslationsDirectory(dir.path());
    manager->setLanguage(AppLanguage::japanese);
    EXPECT_EQ(cancel(), QStringLiteral("Cancel"));
    EXPECT_EQ(localized("Open"), QStringLiteral("Open (ja)"));
}

// Dates and numbers are written as the interface language writes them;
// English keeps an English desktop's conventions.
TEST_F(LanguageManagerTest, TheLocaleIsTheInterfaceLanguages)
{
    const struct {
        const char *code;
        const char *system;
        const char *expected;
    } cases[] = {
        {"ja", "de_DE", "ja_JP"}, {"zh-Hans", "ja_JP", "zh_CN"}, {"en", "en_GB", "en_GB"}, {"en", "ja_JP", "en_US"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(LanguageManager::localeFor(QString::fromLatin1(c.code), QLocale(QString::fromLatin1(c.system))).name(),
                  QString::fromLatin1(c.expected))
            << c.code << " on " << c.system;
    }
}

} // namespace

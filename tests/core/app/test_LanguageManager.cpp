// The language choice and the tables it loads, on tables of the test's own.

#include "app/LanguageManager.h"

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

} // namespace

// The shipped string tables against the keys the code looks up: every key
// in every table, no key that nobody uses, translations that keep the key's
// placeholders in order and are really in their language.

#include "app/LanguageManager.h"
#include "util/Localized.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

QString unescaped(const QString &literal)
{
    QString out;
    for (qsizetype i = 0; i < literal.size(); ++i) {
        if (literal[i] == QLatin1Char('\\') && i + 1 < literal.size()) {
            const QChar next = literal[++i];
            out += next == QLatin1Char('n') ? QChar(QLatin1Char('\n')) : next;
        } else {
            out += literal[i];
        }
    }
    return out;
}

// Every literal passed to localized("…") or textKey("…") in the product code.
QSet<QString> keysInCode()
{
    static const QRegularExpression call(QStringLiteral(R"re(\b(?:localized|textKey)\(\s*"((?:[^"\\]|\\.)*)"\s*\))re"));
    QSet<QString> keys;
    QDirIterator it(QStringLiteral(TARNI_SOURCE_DIR "/src"), {QStringLiteral("*.cpp"), QStringLiteral("*.h")},
                    QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        for (const auto &match : call.globalMatch(text))
            keys.insert(unescaped(match.captured(1)));
    }
    return keys;
}

QStringList placeholders(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral(R"(%(?:\d+|@|l{0,2}d|s|\.\d+f))"));
    QStringList found;
    for (const auto &match : pattern.globalMatch(text))
        found << match.captured(0);
    return found;
}

TEST(StringTables, CoverExactlyTheKeysTheCodeLooksUp)
{
    const QSet<QString> keys = keysInCode();
    ASSERT_FALSE(keys.isEmpty());
    for (const char *code : {"en", "ja", "zh-Hans"}) {
        const auto path = std::filesystem::path(TARNI_SOURCE_DIR) / "resources" /
            ("Localization-" + std::string(code) + ".json");
        const StringTable table = LanguageManager::loadStrings(path);
        ASSERT_FALSE(table.isEmpty()) << path;
        for (const QString &key : keys)
            EXPECT_TRUE(table.contains(key)) << code << " lacks \"" << key.toStdString() << "\"";
        for (auto entry = table.begin(); entry != table.end(); ++entry) {
            const QString &key = entry.key();
            EXPECT_TRUE(keys.contains(key)) << code << " has \"" << key.toStdString() << "\", which nothing looks up";
            EXPECT_EQ(placeholders(entry.value()), placeholders(key)) << code << ": " << key.toStdString();
            // Every placeholder but Qt's numbered ones is one that formatted() fills in.
            const QString filled = formatted(entry.value(), QStringList(8, QStringLiteral("1")));
            EXPECT_FALSE(filled.contains(QRegularExpression(QStringLiteral("%[^\\d\\s]"))))
                << code << ": " << filled.toStdString();
            if (QByteArray(code) == "en") {
                EXPECT_EQ(entry.value(), key);
                continue;
            }
            // A translation has kana or ideographs wherever the key has words.
            const bool hasWords = key.contains(QRegularExpression(QStringLiteral("[A-Za-z]{2,}")));
            const bool cjk = entry.value().contains(QRegularExpression(QStringLiteral("[\\x{3040}-\\x{30ff}\\x{4e00}-\\x{9fff}]")));
            EXPECT_TRUE(!hasWords || cjk) << code << ": \"" << entry.value().toStdString() << "\"";
        }
    }
}

} // namespace

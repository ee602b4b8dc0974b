#include "tree/SearchQuery.h"

#include <gtest/gtest.h>

#include <random>

using namespace tarni;

namespace {

// The text with every highlighted range in brackets.
QString marked(const QString &text, const QString &query)
{
    QString result = text;
    const auto ranges = SearchQuery(query).highlightRanges(text);
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
        result.insert(range->start + range->length, QLatin1Char(']'));
        result.insert(range->start, QLatin1Char('['));
    }
    return result;
}

// Matches land on the characters they came from, however long their folded
// form: accents typed apart go with their letter, a ligature or a character
// outside the BMP counts whole.
TEST(SearchQuery, HighlightsMapBackOntoTheOriginalText)
{
    struct Case {
        const char *text;
        const char *query;
        const char *expected;
    };
    const Case cases[] = {
        {"Design review", "review design", "[Design] [review]"},
        {"Résumé", "resume", "[Résumé]"},
        {"Re\u0301sume\u0301 final", "SUME", "Re\u0301[sume\u0301] final"},
        {"ﬁle ﬁx", "i", "[ﬁ]le [ﬁ]x"},
        {"ＡＢＣ", "b", "Ａ[Ｂ]Ｃ"},
        {"ﾃｽﾄ中", "テス", "[ﾃｽ]ﾄ中"},
        {"ガイド", "ｶﾞｲ", "[ガイ]ド"},
        {"😀 Smile 😀x", "smile x", "😀 [Smile] 😀[x]"},
        {"İstanbul", "ist", "[İst]anbul"},
        {"banana", "ana", "b[anana]"},
        {"one two", " ", "one two"},
        {"nothing here", "absent", "nothing here"},
        {"中文笔记", "笔", "中文[笔]记"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(marked(QString::fromUtf8(c.text), QString::fromUtf8(c.query)), QString::fromUtf8(c.expected))
            << c.text << " / " << c.query;
    }
}

// Random text over an alphabet of awkward characters.
QString randomText(std::mt19937 &rng, int maxLength)
{
    static const QStringList alphabet{
        QStringLiteral("a"), QStringLiteral("B"),  QStringLiteral("e"),      QStringLiteral("é"),
        QStringLiteral("É"), QStringLiteral("\u0301"), QStringLiteral(" "),  QStringLiteral("\u3000"),
        QStringLiteral("Ａ"), QStringLiteral("ｱ"), QStringLiteral("ア"),     QStringLiteral("ﾞ"),
        QStringLiteral("ガ"), QStringLiteral("İ"), QStringLiteral("ß"),      QStringLiteral("ﬁ"),
        QStringLiteral("日"), QStringLiteral("😀"), QStringLiteral("Σ"),     QStringLiteral("ς"),
        QString(QChar(0xD800)), QStringLiteral("."), QStringLiteral("Ǆ"), QStringLiteral("ǅ")};
    QString text;
    const int length = int(rng() % std::uint32_t(maxLength + 1));
    for (int i = 0; i < length; ++i)
        text += alphabet[qsizetype(rng() % std::uint32_t(alphabet.size()))];
    return text;
}

// Whatever the plain rule finds (the lower-cased query somewhere in the
// lower-cased text) is still found; narrowing never drops a match; the
// text's signature never turns a match away and, where the query says it
// decides, agrees with the text; and the highlighted ranges of a matching
// text are whole characters inside it.
TEST(SearchQuery, FindsEverythingTheSubstringRuleFoundAndNarrowsSoundly)
{
    std::mt19937 rng(7);
    int oldMatches = 0;
    int decided = 0;
    for (int i = 0; i < 20000; ++i) {
        const QString text = randomText(rng, 12);
        QString query;
        if (rng() % 2 && !text.isEmpty()) {
            // A piece of the text in other letter case, as people type it.
            // Whole characters: nobody types half a surrogate pair.
            auto whole = [&](qsizetype at) {
                return at > 0 && at < text.size() && text.at(at).isLowSurrogate() && text.at(at - 1).isHighSurrogate()
                           ? at - 1
                           : at;
            };
            const qsizetype from = whole(qsizetype(rng() % std::uint32_t(text.size())));
            const qsizetype to = whole(from + qsizetype(rng() % std::uint32_t(text.size() - from + 1)));
            query = text.mid(from, to - from);
            query = rng() % 2 ? query.toUpper() : query.toLower();
        } else {
            query = randomText(rng, 4);
        }
        const std::string folded = SearchQuery::folded(text);
        const SearchQuery search(query);
        if (!query.isEmpty() && text.toLower().contains(query.toLower())) {
            ++oldMatches;
            ASSERT_TRUE(search.matches(folded)) << text.toStdString() << " / " << query.toStdString();
        }
        const bool matches = search.matches(folded);
        const std::uint64_t signature = SearchQuery::signature(folded);
        ASSERT_TRUE(!matches || search.mayMatch(signature)) << text.toStdString() << " / " << query.toStdString();
        if (search.isDecidedBySignature()) {
            ++decided;
            ASSERT_EQ(search.mayMatch(signature), matches) << text.toStdString() << " / " << query.toStdString();
        }
        const SearchQuery longer(query + randomText(rng, 2));
        if (longer.narrows(search) && longer.matches(folded)) {
            ASSERT_TRUE(search.matches(folded)) << text.toStdString() << " / " << query.toStdString();
        }
        for (const auto &range : search.highlightRanges(text)) {
            ASSERT_GE(range.start, 0);
            ASSERT_GT(range.length, 0);
            ASSERT_LE(range.start + range.length, text.size());
            ASSERT_FALSE(text.at(range.start).isLowSurrogate()) << text.toStdString();
        }
    }
    EXPECT_GT(oldMatches, 5000);
    EXPECT_GT(decided, 100);
    // Folded single letters and digits are decided; other bytes share bits.
    for (const char *query : {"a", "Z 7", "\u00e9", "\uff21"})
        EXPECT_TRUE(SearchQuery(QString::fromUtf8(query)).isDecidedBySignature()) << query;
    for (const char *query : {"ab", "a /", "\u65e5", " "})
        EXPECT_FALSE(SearchQuery(QString::fromUtf8(query)).isDecidedBySignature()) << query;
}

} // namespace

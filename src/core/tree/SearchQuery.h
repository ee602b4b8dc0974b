#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarni {

// What the search field asks for, and the folding that makes typed text meet
// stored text.
//
// Text is folded one character at a time: lower-cased, decomposed with the
// compatibility mappings (full-width Latin to ASCII, half-width kana to
// their full forms, ligatures to their letters), lower-cased again, and
// stripped of the combining accents of Latin, Greek and Cyrillic (so é
// becomes e). Kana voicing marks stay, as separate marks, so ｶﾞ and ガ
// both fold to カ followed by the mark. Because the folding goes character
// by character, any piece of a text folds to a piece of the folded text.
//
// A query is split at white space into words; a text matches when every
// word occurs in it, in any order. A query of white space only has no words
// and matches where its folded self occurs as it is.
class SearchQuery {
public:
    // A stretch of the original text, in UTF-16 code units.
    struct Range {
        qsizetype start = 0;
        qsizetype length = 0;
        bool operator==(const Range &) const = default;
    };

    SearchQuery() = default;
    explicit SearchQuery(const QString &query);

    bool isEmpty() const { return m_empty; }
    // The folded words, longest first, none contained in another.
    const std::vector<std::string> &words() const { return m_words; }
    // Whether a folded text matches.
    bool matches(std::string_view foldedText) const;
    // Which bytes a folded text holds, as a set of 64 bits: one of its own
    // for each ASCII letter and digit, the other bytes sharing the rest. A
    // text can only match when its signature has every bit of the query's.
    static std::uint64_t signature(std::string_view foldedText);
    bool mayMatch(std::uint64_t textSignature) const { return (textSignature & m_signature) == m_signature; }
    // True when mayMatch() is the whole answer: every word is one ASCII
    // letter or digit, as while the first character of a word is typed.
    bool isDecidedBySignature() const { return m_decidedBySignature; }
    // True when every text this query matches is matched by `broader` as
    // well, so a search can re-test only what `broader` found.
    bool narrows(const SearchQuery &broader) const;
    // One text naming the query up to word order, for caching results.
    const std::string &key() const { return m_key; }

    // Where the words occur in `text`, in the original's code units, sorted
    // and merged; a range never splits a character or its combining marks.
    QList<Range> highlightRanges(const QString &text) const;

    // Appends the folded form of `text` as UTF-8. With `origins`, also
    // appends for every byte the index in `text` of the character it came
    // from.
    static void appendFolded(std::string &out, const QString &text, std::vector<std::uint32_t> *origins = nullptr);
    static std::string folded(const QString &text);

private:
    std::vector<std::string> m_words;
    std::string m_whole; // used only when there are no words
    std::string m_key;
    std::uint64_t m_signature = 0;
    bool m_empty = true;
    bool m_decidedBySignature = false;
};

} // namespace tarni

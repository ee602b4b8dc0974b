#include "tree/SearchQuery.h"

#include <QStringView>

#include <algorithm>
#include <array>
#include <unordered_map>

namespace tarni {

namespace {

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The combining accents of Latin, Greek and Cyrillic. Marks of other
// scripts (kana voicing, Indic vowel signs) change the letter, not its
// accent, and stay.
bool isDroppedMark(char32_t c)
{
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF)
           || (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F);
}

// The folded UTF-8 of one character outside ASCII. Decomposing needs a
// temporary string, so each character is worked out once per thread; text
// uses few distinct characters, and the table is emptied should it ever
// grow large.
const std::string &foldedCharacter(char32_t c)
{
    thread_local std::unordered_map<char32_t, std::string> cache;
    if (const auto found = cache.find(c); found != cache.end())
        return found->second;
    if (cache.size() >= 65536)
        cache.clear();
    const char32_t lower = QChar::toLower(c);
    const QString decomposed = QString::fromUcs4(&lower, 1).normalized(QString::NormalizationForm_KD);
    std::string out;
    const auto ucs4 = decomposed.toUcs4();
    for (const char32_t part : ucs4) {
        const char32_t folded = QChar::toLower(part);
        if (!isDroppedMark(folded))
            appendUtf8(out, folded);
    }
    return cache.emplace(c, std::move(out)).first->second;
}

// Bits 0-35 belong to a-z and 0-9 alone; every other byte shares bits 36-63.
constexpr int kOwnBits = 36;

constexpr std::uint64_t signatureBit(unsigned char byte)
{
    if (byte >= 'a' && byte <= 'z')
        return std::uint64_t(1) << (byte - 'a');
    if (byte >= '0' && byte <= '9')
        return std::uint64_t(1) << (26 + byte - '0');
    return std::uint64_t(1) << (kOwnBits + byte % (64 - kOwnBits));
}

constexpr bool hasOwnBit(unsigned char byte)
{
    return (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9');
}

// The code point at `i` and how many code units it takes.
std::pair<char32_t, qsizetype> codePointAt(const char16_t *data, qsizetype size, qsizetype i)
{
    const char32_t c = data[i];
    if (QChar::isHighSurrogate(c) && i + 1 < size && QChar::isLowSurrogate(data[i + 1]))
        return {QChar::surrogateToUcs4(char16_t(c), data[i + 1]), 2};
    if (QChar::isSurrogate(c))
        return {0xFFFD, 1}; // as the UTF-8 conversion of an unpaired surrogate
    return {c, 1};
}

} // namespace

void SearchQuery::appendFolded(std::string &out, const QString &text, std::vector<std::uint32_t> *origins)
{
    const qsizetype size = text.size();
    const char16_t *data = reinterpret_cast<const char16_t *>(text.constData());
    out.reserve(out.size() + std::size_t(size));
    for (qsizetype i = 0; i < size;) {
        const char16_t unit = data[i];
        const std::size_t before = out.size();
        qsizetype length = 1;
        if (unit < 0x80) {
            out += char(unit >= 'A' && unit <= 'Z' ? unit - 'A' + 'a' : unit);
        } else {
            const auto [c, units] = codePointAt(data, size, i);
            length = units;
            out += foldedCharacter(c);
        }
        if (origins)
            origins->insert(origins->end(), out.size() - before, std::uint32_t(i));
        i += length;
    }
}

std::string SearchQuery::folded(const QString &text)
{
    std::string out;
    appendFolded(out, text);
    return out;
}

SearchQuery::SearchQuery(const QString &query)
    : m_empty(query.isEmpty())
{
    if (m_empty)
        return;
    const qsizetype size = query.size();
    for (qsizetype i = 0; i < size;) {
        while (i < size && query.at(i).isSpace())
            ++i;
        qsizetype end = i;
        while (end < size && !query.at(end).isSpace())
            ++end;
        if (end > i) {
            std::string word = folded(query.mid(i, end - i));
            if (!word.empty())
                m_words.push_back(std::move(word));
        }
        i = end;
    }
    std::sort(m_words.begin(), m_words.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    // A word inside a longer one adds nothing to the test.
    std::vector<std::string> kept;
    for (auto &word : m_words) {
        const bool contained = std::any_of(kept.begin(), kept.end(), [&](const std::string &longer) {
            return longer.find(word) != std::string::npos;
        });
        if (!contained)
            kept.push_back(std::move(word));
    }
    m_words = std::move(kept);
    if (m_words.empty()) {
        m_whole = folded(query);
        m_key = '\x01' + m_whole;
        m_signature = signature(m_whole);
        return;
    }
    m_decidedBySignature = true;
    for (const auto &word : m_words) {
        m_key += word;
        m_key += '\0';
        m_signature |= signature(word);
        if (word.size() != 1 || !hasOwnBit(static_cast<unsigned char>(word[0])))
            m_decidedBySignature = false;
    }
}

std::uint64_t SearchQuery::signature(std::string_view foldedText)
{
    static constexpr auto bitOf = [] {
        std::array<std::uint64_t, 256> table{};
        for (int byte = 0; byte < 256; ++byte)
            table[std::size_t(byte)] = signatureBit(static_cast<unsigned char>(byte));
        return table;
    }();
    std::uint64_t bits = 0;
    for (const char c : foldedText)
        bits |= bitOf[static_cast<unsigned char>(c)];
    return bits;
}

bool SearchQuery::matches(std::string_view foldedText) const
{
    if (m_empty)
        return true;
    // Texts are short: the library's find (the first byte by memchr, then a
    // compare) beats memmem, which sets up a table on every call.
    auto contains = [&](const std::string &needle) { return foldedText.find(needle) != std::string_view::npos; };
    if (m_words.empty())
        return contains(m_whole);
    return std::all_of(m_words.begin(), m_words.end(), contains);
}

bool SearchQuery::narrows(const SearchQuery &broader) const
{
    if (m_empty || broader.m_empty)
        return false;
    if (broader.m_words.empty())
        return m_words.empty() && m_whole.find(broader.m_whole) != std::string::npos;
    // Every broader word inside one of ours: whatever holds ours holds it.
    return std::all_of(broader.m_words.begin(), broader.m_words.end(), [&](const std::string &word) {
        return std::any_of(m_words.begin(), m_words.end(),
                           [&](const std::string &ours) { return ours.find(word) != std::string::npos; });
    });
}

QList<SearchQuery::Range> SearchQuery::highlightRanges(const QString &text) const
{
    QList<Range> ranges;
    if (m_words.empty() || text.isEmpty())
        return ranges;
    std::string foldedText;
    std::vector<std::uint32_t> origins;
    appendFolded(foldedText, text, &origins);
    const char16_t *data = reinterpret_cast<const char16_t *>(text.constData());
    const qsizetype size = text.size();
    for (const auto &word : m_words) {
        for (std::size_t at = foldedText.find(word); at != std::string::npos; at = foldedText.find(word, at + 1)) {
            // Whole characters: a match inside the folded form of one
            // character (a ligature, say) covers that character, and the
            // accents that were dropped after the last one go with it.
            const qsizetype start = origins[at];
            const qsizetype last = origins[at + word.size() - 1];
            qsizetype end = last + codePointAt(data, size, last).second;
            while (end < size) {
                const auto [c, units] = codePointAt(data, size, end);
                if (!isDroppedMark(c))
                    break;
                end += units;
            }
            ranges.append(Range{start, end - start});
        }
    }
    std::sort(ranges.begin(), ranges.end(), [](const Range &a, const Range &b) { return a.start < b.start; });
    QList<Range> merged;
    for (const Range &range : ranges) {
        if (!merged.isEmpty() && range.start <= merged.last().start + merged.last().length) {
            Range &into = merged.last();
            into.length = std::max(into.start + into.length, range.start + range.length) - into.start;
        } else {
            merged.append(range);
        }
    }
    return merged;
}

} // namespace tarni

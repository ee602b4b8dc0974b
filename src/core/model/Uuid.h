#pragma once

#include <QString>
#include <QUuid>

#include <optional>
#include <string>
#include <string_view>

namespace tarni {

// Identifiers are written as canonical hyphenated upper-case text and read in
// either case. Nothing else (braces, "urn:uuid:", missing hyphens) is accepted.
inline constexpr std::size_t kUuidTextLength = 36;
void formatUuid(const QUuid &id, char out[kUuidTextLength]);
std::string uuidText(const QUuid &id);
QString uuidQString(const QUuid &id);
std::optional<QUuid> parseUuid(std::string_view text);
std::optional<QUuid> parseUuid(const QString &text);

inline QUuid newUuid() { return QUuid::createUuid(); }

// Fresh identifiers for the many nodes of one import: a random (version 4)
// identifier first, then each one the next in order, so that the store's
// indexes take them in one place instead of one random page each (at a
// million nodes, reading and writing those pages is most of an import's
// time). Unique like random ones: the first 60 bits are random for every
// sequence. Not for values that must be hard to guess.
class UuidSequence {
public:
    UuidSequence();
    QUuid next();

private:
    quint64 m_high = 0;
    quint64 m_low = 0;
};

} // namespace tarni

#pragma once

#include <QRandomGenerator64>
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

// Fresh random (version 4) identifiers for the many nodes of one import. The
// generator is seeded once from the system's random source instead of asking
// it for every identifier, which costs a system call or a trapped CPU
// instruction each time. Not for values that must be hard to guess.
class UuidSequence {
public:
    UuidSequence();
    QUuid next();

private:
    QRandomGenerator64 m_generator;
};

} // namespace tarni

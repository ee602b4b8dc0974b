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

} // namespace tarni

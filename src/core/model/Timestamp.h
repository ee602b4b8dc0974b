#pragma once

#include <QString>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarni {

// Every stored or exported time is ISO 8601 UTC with whole seconds and a
// trailing "Z". Keeping whole seconds in memory too means a record compares
// equal to itself after a round trip through the store or an export.
using Timestamp = std::chrono::sys_seconds;

Timestamp currentTimestamp();

// "2024-03-01T09:30:00Z"; exactly 20 characters for years 0000-9999.
inline constexpr std::size_t kTimestampTextLength = 20;
void formatTimestamp(Timestamp t, char out[kTimestampTextLength]);
std::string timestampText(Timestamp t);
QString timestampQString(Timestamp t);

// Accepts exactly the form above: no fractions, no offsets, valid calendar
// date and time of day.
std::optional<Timestamp> parseTimestamp(std::string_view text);

} // namespace tarni

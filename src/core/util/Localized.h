#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>

namespace tarni {

// Every text a person reads is looked up by its English text, which is also
// the key of the string tables. Keys are always string literals passed to
// one of these two functions, so that the tables can be checked against the
// code (see tests/core/app).

// The text for `key` in the current language; the key itself when the table
// has no such entry. Safe from any thread: a language switch replaces the
// whole table at once.
QString localized(const char *key);
// Marks a literal as a key that is looked up later (a status text kept in
// English and shown through localized(QString)); returns it unchanged.
constexpr const char *textKey(const char *key) { return key; }
// The lookup of a key held in a variable (one that came from textKey).
QString localized(const QString &key);

// Fills the placeholders of a looked-up text ("%@", "%d", "%s", "%.0f") in
// their order with `values`, already written out by the caller; the values
// are not scanned again, so a "%d" inside one stays as it is.
QString formatted(const QString &text, const QStringList &values);

using StringTable = QHash<QString, QString>;
// Replaces the table every lookup reads.
void setLocalizedStrings(std::shared_ptr<const StringTable> table);

} // namespace tarni

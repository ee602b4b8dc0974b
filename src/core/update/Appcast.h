#pragma once

#include "update/UpdateProblem.h"
#include "util/Result.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QString>
#include <QUrl>

#include <optional>

namespace tarni {

struct AppcastEnclosure {
    QUrl url;
    qint64 length = -1; // -1: not given
    QString type;
    QString edSignature; // Base64
};

// One release in the feed.
struct AppcastItem {
    QString title;
    QString version;      // compared with the running version
    QString shortVersion; // shown to people; the version when absent
    QUrl releaseNotes;
    QList<AppcastEnclosure> enclosures;

    QString displayVersion() const { return shortVersion.isEmpty() ? version : shortVersion; }
};

// Reads an RSS 2.0 feed with the sparkle namespace. Items without a version
// or an enclosure are skipped; a document that is not well-formed XML or not
// an RSS channel is refused.
Result<QList<AppcastItem>, UpdateProblem> parseAppcast(const QByteArray &xml);

inline constexpr qsizetype kMaxVersionLength = 64;

// Versions are dot-separated whole numbers of any size ("1.10.2"), at most
// kMaxVersionLength characters in all; a missing component counts as 0, so
// "1.2" equals "1.2.0". Anything else is not a version. The parts come back
// as digits without leading zeros.
std::optional<QStringList> parseVersion(const QString &text);
// <0, 0, >0 like strcmp; nullopt when either is not a version.
std::optional<int> compareVersions(const QString &a, const QString &b);

// The item with the highest valid version (nullopt when none is valid).
std::optional<AppcastItem> newestItem(const QList<AppcastItem> &items);

} // namespace tarni

#pragma once

#include "model/TreeExport.h"
#include "util/Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>

namespace tarni {

// What the sidebar puts on the clipboard and takes from it. The clipboard is
// written by any program, so everything read here is checked: our own type
// goes through the export document's decoder, and every address through the
// entry rules, before anything reaches the tree.
namespace ClipboardContent {

// Our own type: an export document of the copied subtree.
inline constexpr const char *kNodesMimeType = "application/x-tarnibar-nodes+json";
// Marks a cut: the token of the cut it came from, then the node's identifier.
inline constexpr const char *kCutMimeType = "application/x-tarnibar-cut";

// Copied subtrees larger than this are refused (export them instead), and
// pasted documents larger than this are not read.
inline constexpr qsizetype kMaxNodesBytes = qsizetype(8) << 20;
// Pasted text larger than this is not looked at.
inline constexpr qsizetype kMaxTextBytes = qsizetype(1) << 20;
// At most this many web links from one paste.
inline constexpr qsizetype kMaxPastedLinks = 500;
// The refused lines named in the status line, each shortened.
inline constexpr qsizetype kNamedRefusedLines = 3;
inline constexpr qsizetype kRefusedLineChars = 60;

// A problem with the clipboard's content, as a text key and its values.
struct Problem {
    const char *key = nullptr;
    QStringList values;
};

Result<std::string, Problem> encodeNodes(const TreeExport &document);
Result<TreeExport, Problem> decodeNodes(std::string_view bytes);
// One line per entry of the document: its address when it has one (web
// link, tab, Slack thread, file or folder), else its title.
QString plainText(const TreeExport &document);

struct PastedLink {
    QString url;
    std::optional<QString> title;
};
struct PastedLinks {
    QList<PastedLink> links;
    // Lines that held something but no address the rules accept.
    qsizetype refusedCount = 0;
    QStringList refusedLines; // the first few, shortened
    // Set when the content was not looked at (too large, too many links).
    std::optional<Problem> problem;
};

// Text: one address a line; blank lines are ignored.
PastedLinks linksFromText(const QString &text);
// text/uri-list: one address a line, "#" lines are comments.
PastedLinks linksFromUriList(const QByteArray &bytes);
// text/x-moz-url: UTF-16 pairs of lines, the address, then its title.
PastedLinks linksFromMozUrl(const QByteArray &bytes);

} // namespace ClipboardContent
} // namespace tarni

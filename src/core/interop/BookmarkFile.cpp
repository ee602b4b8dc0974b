// Netscape bookmark files as browsers write and read them: a tolerant tag
// scanner on import (no XML rules: unclosed tags, any case, CRLF and stray
// "<" are all fine), one element per line on export because browsers'
// importers read the file line by line.

#include "interop/InteropBuilder.h"

#include <QDateTime>

#include <cctype>

namespace tarni::interop {

namespace {

char lower(char c)
{
    return char(std::tolower(static_cast<unsigned char>(c)));
}

bool isNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}

// Case-insensitive search for an ASCII needle written in lower case.
std::size_t findNoCase(std::string_view text, std::string_view needle, std::size_t from)
{
    if (needle.empty())
        return from;
    const char first = needle[0];
    for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
        if (lower(text[i]) != first)
            continue;
        std::size_t k = 1;
        while (k < needle.size() && lower(text[i + k]) == needle[k])
            ++k;
        if (k == needle.size())
            return i;
    }
    return std::string_view::npos;
}

struct Tag {
    std::string name; // lower case, "/dl" for closing tags
    std::string href;
    std::string addDate;
    std::size_t end = 0; // just past the '>'
};

// Reads the tag at text[pos] == '<'; nothing when it is a stray '<'.
std::optional<Tag> readTag(std::string_view text, std::size_t pos)
{
    std::size_t i = pos + 1;
    Tag tag;
    if (i < text.size() && text[i] == '/') {
        tag.name.push_back('/');
        ++i;
    }
    const std::size_t nameStart = i;
    while (i < text.size() && isNameChar(text[i]))
        tag.name.push_back(lower(text[i++]));
    if (i == nameStart || !std::isalpha(static_cast<unsigned char>(text[nameStart])))
        return std::nullopt;
    // Attributes up to '>'; a quote left open ends at the line's end.
    // A tag left open ends with its line.
    while (i < text.size() && text[i] != '>' && text[i] != '\n') {
        if (std::isspace(static_cast<unsigned char>(text[i])) || text[i] == '/') {
            ++i;
            continue;
        }
        std::string name;
        while (i < text.size() && text[i] != '=' && text[i] != '>' && !std::isspace(static_cast<unsigned char>(text[i])))
            name.push_back(lower(text[i++]));
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= text.size() || text[i] != '=')
            continue;
        ++i;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        std::string_view value;
        if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
            const char quote = text[i++];
            std::size_t close = i;
            while (close < text.size() && text[close] != quote && text[close] != '\n' && text[close] != '\r')
                ++close;
            if (close < text.size() && text[close] == quote) {
                value = text.substr(i, close - i);
                i = close + 1;
            } else {
                // Never closed: the value ends at the tag's end on this line.
                const std::size_t tagEnd = text.substr(i, close - i).find('>');
                const std::size_t end = tagEnd == std::string_view::npos ? close : i + tagEnd;
                value = text.substr(i, end - i);
                i = end;
            }
        } else {
            const std::size_t start = i;
            while (i < text.size() && text[i] != '>' && !std::isspace(static_cast<unsigned char>(text[i])))
                ++i;
            value = text.substr(start, i - start);
        }
        if (name == "href")
            tag.href = decodeEntities(value);
        else if (name == "add_date")
            tag.addDate = std::string(value);
    }
    tag.end = i < text.size() && text[i] == '>' ? i + 1 : i;
    return tag;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != prefix[i])
            return false;
    return true;
}

// Where a folder's or link's text ends: its closing tag, the end of the line,
// or the next tag that starts another entry, whichever comes first. Scans
// only the text itself, so a file on one line stays linear.
std::size_t textEnd(std::string_view text, std::size_t from, std::string_view closing)
{
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r')
            return i;
        if (c != '<')
            continue;
        const std::string_view rest = text.substr(i);
        for (std::string_view stop : {closing, std::string_view("<dt"), std::string_view("<dl"),
                                      std::string_view("</dl"), std::string_view("<dd")})
            if (startsWithNoCase(rest, stop))
                return i;
    }
    return text.size();
}

std::optional<Timestamp> parseAddDate(const std::string &text)
{
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    // Some exporters write milliseconds; seconds stay below 10^11 until the
    // year 5138.
    if (value > 100'000'000'000LL)
        value /= 1000;
    return Timestamp(std::chrono::seconds(value));
}

QString titleText(std::string_view raw)
{
    return utf8(decodeEntities(raw)).simplified();
}

} // namespace

Result<InteropImport, InteropError> importBookmarks(std::string_view text, const ImportOptions &options)
{
    ImportBuilder builder(options, std::int64_t(text.size()));
    // Per open <DL>: whether it opened a folder (a list without a folder
    // heading before it only nests in the file, not in the tree).
    std::vector<bool> lists;
    bool folderPending = false;
    bool sawBookmarkTag = false;
    std::size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string_view::npos) {
        if (!builder.progress(std::int64_t(pos)))
            return Failure(InteropError{QStringLiteral("the import was cancelled"), std::nullopt, std::nullopt});
        if (text.substr(pos, 4) == "<!--") {
            const std::size_t close = text.find("-->", pos + 4);
            pos = close == std::string_view::npos ? text.size() : close + 3;
            continue;
        }
        if (text.substr(pos, 2) == "<!" || text.substr(pos, 2) == "<?") {
            const std::size_t close = text.find('>', pos);
            pos = close == std::string_view::npos ? text.size() : close + 1;
            continue;
        }
        const auto tag = readTag(text, pos);
        if (!tag) {
            ++pos; // a stray '<' in text
            continue;
        }
        const std::size_t tagStart = pos;
        pos = tag->end;
        if (tag->name == "dl") {
            sawBookmarkTag = true;
            const bool opens = folderPending && builder.reopenLast();
            if (opens && builder.tooDeep())
                return Failure(errorAt(text, tagStart,
                                       QStringLiteral("folders nest deeper than %1 levels").arg(ImportBuilder::kMaxDepth)));
            lists.push_back(opens);
            folderPending = false;
        } else if (tag->name == "/dl") {
            folderPending = false;
            if (!lists.empty()) {
                if (lists.back())
                    builder.closeGroup();
                lists.pop_back();
            }
        } else if (tag->name == "h3") {
            sawBookmarkTag = true;
            const std::size_t end = textEnd(text, pos, "</h3");
            builder.addGroup(titleText(text.substr(pos, end - pos)), parseAddDate(tag->addDate));
            folderPending = true;
            pos = end;
        } else if (tag->name == "a") {
            folderPending = false;
            const std::size_t end = textEnd(text, pos, "</a");
            if (!tag->href.empty() || findNoCase(text.substr(tagStart, tag->end - tagStart), "href", 0) !=
                                          std::string_view::npos) {
                sawBookmarkTag = true;
                builder.addLink(titleText(text.substr(pos, end - pos)), utf8(tag->href), parseAddDate(tag->addDate));
            }
            pos = end;
        }
        // Everything else (<DT>, <p>, closing tags, <script> ...) is structure
        // or noise; a folder's list may still follow.
    }
    if (!sawBookmarkTag)
        return Failure(InteropError{QStringLiteral("not a bookmark file: no <DL>, <H3> or <A HREF> found"), 1, 0});
    return builder.finish(InteropFormat::bookmarks);
}

std::string exportBookmarks(const TreeExport &document)
{
    std::string out;
    out += "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
           "<!-- This is an automatically generated file.\n"
           "     It will be read and overwritten.\n"
           "     DO NOT EDIT! -->\n"
           "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
           "<TITLE>Bookmarks</TITLE>\n"
           "<H1>Bookmarks</H1>\n"
           "<DL><p>\n";
    auto indent = [&](std::size_t depth) { out.append(std::min<std::size_t>(depth + 1, 32) * 4, ' '); };
    auto date = [](const WorkspaceNode &node) {
        return std::to_string(node.createdAt().time_since_epoch().count());
    };
    walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t depth) {
            const WorkspaceNode &node = entry.node;
            const auto address = addressOfPayload(node.payload());
            indent(depth);
            if (!address) {
                out += "<DT><H3 ADD_DATE=\"" + date(node) + "\">" + escapeHtml(oneLine(node.title())) + "</H3>\n";
                indent(depth);
                out += "<DL><p>\n";
                return;
            }
            out += "<DT><A HREF=\"" + escapeHtml(*address) + "\" ADD_DATE=\"" + date(node) + "\">" +
                escapeHtml(oneLine(node.title())) + "</A>\n";
            if (!entry.children.empty()) {
                // Only folders hold entries in a bookmark file: a link's
                // children follow it in a folder of the same name.
                indent(depth);
                out += "<DT><H3 ADD_DATE=\"" + date(node) + "\">" + escapeHtml(oneLine(node.title())) + "</H3>\n";
                indent(depth);
                out += "<DL><p>\n";
            }
        },
        [&](const TreeExportNode &entry, std::size_t depth) {
            if (entry.node.kind() == WorkspaceNodeKind::group || !entry.children.empty()) {
                indent(depth);
                out += "</DL><p>\n";
            }
        });
    out += "</DL><p>\n";
    return out;
}

} // namespace tarni::interop

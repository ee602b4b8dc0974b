// The line-based formats: OneTab's text export, Markdown link lists and
// plain text with one address per line.

#include "interop/InteropBuilder.h"

#include <cctype>

namespace tarni::interop {

namespace {

// Markdown nests by indentation: deeper levels stay at this one so that a
// long chain of nodes does not make a file that grows with the square of its
// depth.
constexpr std::size_t kMaxMarkdownIndentLevels = 100;

std::string_view trimmed(std::string_view line)
{
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
        line.remove_prefix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.remove_suffix(1);
    return line;
}

// Calls onLine(line without its end, offset of its first byte) for each line.
template <class OnLine>
bool forEachLine(std::string_view text, ImportBuilder &builder, OnLine &&onLine)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (!builder.progress(std::int64_t(pos)))
            return false;
        if (!onLine(line, pos))
            return false;
        pos = end + 1;
    }
    return true;
}

InteropError cancelled()
{
    return InteropError{QStringLiteral("the import was cancelled"), std::nullopt, std::nullopt};
}

bool isAsciiPunctuation(char c)
{
    return c >= 0x21 && c <= 0x7E && !std::isalnum(static_cast<unsigned char>(c));
}

std::string unescapeMarkdown(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && isAsciiPunctuation(text[i + 1]))
            ++i;
        out.push_back(text[i]);
    }
    return out;
}

bool looksLikeAddress(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return text.find_first_of(" \t") == std::string_view::npos;
}

struct MarkdownLink {
    std::string title;
    std::string address;
    std::size_t end = 0; // just past the ')'
};

// "[title](address)" at text[pos] == '['; titles may hold escaped or
// balanced brackets, addresses escaped parentheses.
std::optional<MarkdownLink> readLink(std::string_view text, std::size_t pos)
{
    int depth = 0;
    std::size_t i = pos;
    for (; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
            continue;
        }
        if (text[i] == '[')
            ++depth;
        else if (text[i] == ']' && --depth == 0)
            break;
    }
    if (i >= text.size() || i + 1 >= text.size() || text[i + 1] != '(')
        return std::nullopt;
    MarkdownLink link;
    link.title = unescapeMarkdown(text.substr(pos + 1, i - pos - 1));
    std::size_t j = i + 2;
    const bool angled = j < text.size() && text[j] == '<';
    if (angled)
        ++j;
    const std::size_t start = j;
    int parens = 0;
    for (; j < text.size(); ++j) {
        if (text[j] == '\\') {
            ++j;
            continue;
        }
        if (angled ? text[j] == '>' : (text[j] == ' ' || (text[j] == ')' && parens == 0)))
            break;
        if (text[j] == '(')
            ++parens;
        else if (text[j] == ')')
            --parens;
    }
    if (j >= text.size())
        return std::nullopt;
    link.address = unescapeMarkdown(text.substr(start, j - start));
    // An optional "title" after the address is ignored.
    const std::size_t close = text.find(')', j);
    if (close == std::string_view::npos)
        return std::nullopt;
    link.end = close + 1;
    return link;
}

std::string escapeMarkdownTitle(const QString &title, bool group)
{
    std::string out;
    const QByteArray bytes = oneLine(title).toUtf8();
    const bool address = group && looksLikeAddress(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    for (char c : bytes) {
        if (c == '\\' || c == '[' || c == ']' || c == '(' || c == ')' || c == '<' || (address && c == ':'))
            out.push_back('\\');
        out.push_back(c);
    }
    // A title that starts like a heading or another list marker stays text.
    if (!out.empty() && (out[0] == '#' || out[0] == '-' || out[0] == '*' || out[0] == '+'))
        out.insert(out.begin(), '\\');
    return out;
}

std::string escapeMarkdownAddress(const QString &address)
{
    std::string out;
    for (char c : address.toUtf8()) {
        if (c == '\\' || c == '(' || c == ')')
            out.push_back('\\');
        if (c == ' ')
            out += "%20";
        else
            out.push_back(c);
    }
    return out;
}

} // namespace

// --- OneTab -----------------------------------------------------------------

Result<InteropImport, InteropError> importOneTab(std::string_view text, const ImportOptions &options)
{
    ImportBuilder builder(options, std::int64_t(text.size()));
    int groups = 0;
    bool open = false;
    const bool finished = forEachLine(text, builder, [&](std::string_view line, std::size_t) {
        line = trimmed(line);
        if (line.empty()) {
            if (open)
                builder.closeGroup();
            open = false;
            return true;
        }
        if (!open) {
            builder.openGroup(QStringLiteral("OneTab group %1").arg(++groups));
            open = true;
        }
        const std::size_t bar = line.find(" | ");
        if (bar == std::string_view::npos)
            builder.addLink(QString(), utf8(line));
        else
            builder.addLink(utf8(line.substr(bar + 3)), utf8(line.substr(0, bar)));
        return true;
    });
    if (!finished)
        return Failure(cancelled());
    return builder.finish(InteropFormat::onetab);
}

std::string exportOneTab(const TreeExport &document)
{
    // Every run of addresses under one parent becomes one OneTab group.
    std::string out;
    std::vector<const TreeExportNode *> path;
    const TreeExportNode *lastParent = nullptr;
    walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t) {
            const TreeExportNode *parent = path.empty() ? nullptr : path.back();
            path.push_back(&entry);
            const auto address = addressOfPayload(entry.node.payload());
            if (!address)
                return;
            if (lastParent && parent != lastParent)
                out += "\n";
            lastParent = parent;
            out += oneLine(*address).toStdString();
            out += " | ";
            out += oneLine(entry.node.title()).toUtf8().toStdString();
            out += "\n";
        },
        [&](const TreeExportNode &, std::size_t) { path.pop_back(); });
    return out;
}

// --- Markdown ---------------------------------------------------------------

Result<InteropImport, InteropError> importMarkdown(std::string_view text, const ImportOptions &options)
{
    ImportBuilder builder(options, std::int64_t(text.size()));
    struct Frame {
        int headingLevel; // 0 for a list item
        std::size_t indent;
    };
    std::vector<Frame> frames;
    bool inFence = false;
    std::optional<InteropError> failure;

    auto popItems = [&](std::size_t indent) {
        while (!frames.empty() && frames.back().headingLevel == 0 && frames.back().indent >= indent) {
            frames.pop_back();
            builder.closeGroup();
        }
    };
    auto push = [&](Frame frame, std::string_view all, std::size_t offset) {
        if (builder.tooDeep()) {
            failure = errorAt(all, offset,
                              QStringLiteral("lists nest deeper than %1 levels").arg(ImportBuilder::kMaxDepth));
            return false;
        }
        frames.push_back(frame);
        return true;
    };

    const bool finished = forEachLine(text, builder, [&](std::string_view line, std::size_t offset) {
        const std::string_view bare = trimmed(line);
        if (bare.starts_with("```") || bare.starts_with("~~~")) {
            inFence = !inFence;
            return true;
        }
        if (inFence || bare.empty())
            return true;

        // Headings: "# Title" .. "###### Title".
        std::size_t hashes = 0;
        while (hashes < bare.size() && bare[hashes] == '#')
            ++hashes;
        if (hashes >= 1 && hashes <= 6 && (hashes == bare.size() || bare[hashes] == ' ' || bare[hashes] == '\t') &&
            line.find_first_not_of(' ') < 4) {
            popItems(0);
            while (!frames.empty() && frames.back().headingLevel >= int(hashes)) {
                frames.pop_back();
                builder.closeGroup();
            }
            std::string_view title = trimmed(bare.substr(hashes));
            while (!title.empty() && title.back() == '#')
                title.remove_suffix(1);
            builder.openGroup(utf8(unescapeMarkdown(trimmed(title))));
            return push(Frame{int(hashes), 0}, text, offset);
        }

        // List items: "- ", "* ", "+ ", "1. ", "1) ".
        std::size_t indent = 0, i = 0;
        for (; i < line.size() && (line[i] == ' ' || line[i] == '\t'); ++i)
            indent += line[i] == '\t' ? 4 - indent % 4 : 1;
        std::size_t marker = i;
        if (marker < line.size() && (line[marker] == '-' || line[marker] == '*' || line[marker] == '+')) {
            ++marker;
        } else {
            while (marker < line.size() && std::isdigit(static_cast<unsigned char>(line[marker])))
                ++marker;
            if (marker == i || marker - i > 9 || marker >= line.size() || (line[marker] != '.' && line[marker] != ')'))
                marker = i;
            else
                ++marker;
        }
        const bool isItem = marker > i && (marker == line.size() || line[marker] == ' ' || line[marker] == '\t');
        if (isItem) {
            popItems(indent);
            std::string_view content = trimmed(line.substr(marker));
            // Task lists: "- [ ] ..." and "- [x] ...".
            if (content.starts_with("[ ] ") || content.starts_with("[x] ") || content.starts_with("[X] "))
                content = trimmed(content.substr(4));
            bool opened = false;
            if (content.starts_with('[')) {
                if (auto link = readLink(content, 0)) {
                    opened = builder.addLink(utf8(link->title), utf8(link->address)) && builder.reopenLast();
                    if (!opened)
                        return true;
                }
            }
            if (!opened && content.starts_with('<') && content.ends_with('>') && looksLikeAddress(content.substr(1, content.size() - 2))) {
                if (!builder.addLink(QString(), utf8(content.substr(1, content.size() - 2))))
                    return true;
                opened = builder.reopenLast();
            } else if (!opened && looksLikeAddress(content)) {
                if (!builder.addLink(QString(), utf8(content)))
                    return true;
                opened = builder.reopenLast();
            }
            if (!opened)
                builder.openGroup(utf8(unescapeMarkdown(content)));
            return push(Frame{0, indent}, text, offset);
        }

        // Links in running text belong to the heading above them.
        for (std::size_t at = bare.find('['); at != std::string_view::npos; at = bare.find('[', at + 1)) {
            if (at > 0 && bare[at - 1] == '\\')
                continue;
            if (auto link = readLink(bare, at)) {
                popItems(0);
                builder.addLink(utf8(link->title), utf8(link->address));
                at = link->end - 1;
            }
        }
        if (bare.find('[') == std::string_view::npos && looksLikeAddress(bare)) {
            popItems(0);
            builder.addLink(QString(), utf8(bare));
        }
        return true;
    });
    if (failure)
        return Failure(*failure);
    if (!finished)
        return Failure(cancelled());
    return builder.finish(InteropFormat::markdown);
}

std::string exportMarkdown(const TreeExport &document)
{
    std::string out;
    // A group at the top is the file's heading; its children the outer list.
    const bool headed = !addressOfPayload(document.rootNode.node.payload());
    walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t depth) {
            const WorkspaceNode &node = entry.node;
            const auto address = addressOfPayload(node.payload());
            if (depth == 0 && headed) {
                out += "# " + escapeMarkdownTitle(node.title(), true) + "\n\n";
                return;
            }
            const std::size_t level = std::min(headed ? depth - 1 : depth, kMaxMarkdownIndentLevels);
            out.append(level * 2, ' ');
            out += "- ";
            if (address) {
                // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) at -O3 on a literal
                // added to a temporary string.
                out += '[';
                out += escapeMarkdownTitle(node.title(), false);
                out += "](";
                out += escapeMarkdownAddress(*address);
                out += ')';
            } else
                out += escapeMarkdownTitle(node.title(), true);
            out += "\n";
        },
        [](const TreeExportNode &, std::size_t) {});
    return out;
}

// --- plain text ---------------------------------------------------------

Result<InteropImport, InteropError> importPlainText(std::string_view text, const ImportOptions &options)
{
    ImportBuilder builder(options, std::int64_t(text.size()));
    const bool finished = forEachLine(text, builder, [&](std::string_view line, std::size_t) {
        line = trimmed(line);
        if (!line.empty())
            builder.addLink(QString(), utf8(line));
        return true;
    });
    if (!finished)
        return Failure(cancelled());
    return builder.finish(InteropFormat::text);
}

std::string exportPlainText(const TreeExport &document)
{
    std::string out;
    walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t) {
            if (const auto address = addressOfPayload(entry.node.payload()))
                out += oneLine(*address).toUtf8().toStdString() + "\n";
        },
        [](const TreeExportNode &, std::size_t) {});
    return out;
}

} // namespace tarni::interop

#pragma once

#include "interop/InteropFormat.h"

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarni::interop {

// The node an address becomes, by the entry rules: Slack addresses (web and
// slack://) Slack threads, file:// addresses files (folders when the path
// ends in "/", which is how we write them; the disk is never consulted),
// http(s) addresses web links. Anything else is refused with the reason.
EntryResult<NodePayload> payloadForAddress(const QString &address);
// The address a node's payload is written as in other formats; none for groups.
std::optional<QString> addressOfPayload(const NodePayload &payload);
bool isSafeToLink(const QString &address);

// Builds the import tree without recursion: groups are opened and closed
// like a stack, so files nest as deep as the depth limit allows.
class ImportBuilder {
public:
    ImportBuilder(const ImportOptions &options, std::int64_t totalBytes);

    // A group as a child of the current one, opened so that what follows
    // goes into it.
    void openGroup(const QString &title, std::optional<Timestamp> createdAt = std::nullopt);
    // Adds a group as a leaf; reopenLast() opens it later (bookmark files
    // name a folder before its list begins).
    void addGroup(const QString &title, std::optional<Timestamp> createdAt = std::nullopt);
    // Opens the last child of the current group; false when there is none.
    bool reopenLast();
    // Back to the parent; false at the import's own group.
    bool closeGroup();
    // Adds a link (or skips and counts the address); true when added.
    bool addLink(QString title, const QString &address, std::optional<Timestamp> createdAt = std::nullopt,
                 std::optional<QString> subtitle = std::nullopt);

    // Open groups below the import's own group.
    std::size_t depth() const { return m_stack.size() - 1; }
    bool tooDeep() const { return depth() >= kMaxDepth; }

    // Reports progress; false when the caller cancelled.
    bool progress(std::int64_t done);

    InteropImport finish(InteropFormat format);

    static constexpr std::size_t kMaxDepth = 1'000'000;

private:
    TreeExportNode makeNode(const QString &title, NodePayload payload, std::optional<Timestamp> createdAt,
                            std::optional<QString> subtitle = std::nullopt) const;

    const ImportOptions &m_options;
    std::int64_t m_total;
    std::int64_t m_lastReported = -1;
    std::vector<TreeExportNode> m_stack;
    ImportSummary m_summary;
};

// Every format's text starts here: a byte-order mark is dropped, and bytes
// that are not UTF-8 are refused with their position.
std::optional<InteropError> checkUtf8(std::string_view bytes);
// 1-based line of a byte offset.
std::int64_t lineOfOffset(std::string_view bytes, std::size_t offset);
InteropError errorAt(std::string_view bytes, std::size_t offset, QString reason);
// Decodes &amp; &lt; &#39; &#x27; and the other common named entities;
// unknown ones are kept as written.
std::string decodeEntities(std::string_view text);
QString utf8(std::string_view text);
// Escapes & < > " ' for HTML text and attribute values.
std::string escapeHtml(const QString &text);
// Titles never span lines in the line-based formats.
QString oneLine(const QString &text);

// Calls enter for each entry in pre-order and leave after its children,
// without recursion.
template <class Enter, class Leave>
void walkTree(const TreeExportNode &root, Enter &&enter, Leave &&leave)
{
    struct Frame {
        const TreeExportNode *node;
        std::size_t next;
    };
    std::vector<Frame> stack;
    enter(root, std::size_t(0));
    stack.push_back({&root, 0});
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next < top.node->children.size()) {
            const TreeExportNode &child = top.node->children[top.next++];
            enter(child, stack.size());
            stack.push_back({&child, 0});
        } else {
            const TreeExportNode *done = top.node;
            stack.pop_back();
            leave(*done, stack.size());
        }
    }
}

// The parsers and writers of each format (text without byte-order mark,
// checked UTF-8).
Result<InteropImport, InteropError> importBookmarks(std::string_view text, const ImportOptions &options);
Result<InteropImport, InteropError> importOneTab(std::string_view text, const ImportOptions &options);
Result<InteropImport, InteropError> importSessions(std::string_view text, const ImportOptions &options);
Result<InteropImport, InteropError> importMarkdown(std::string_view text, const ImportOptions &options);
Result<InteropImport, InteropError> importPlainText(std::string_view text, const ImportOptions &options);

std::string exportBookmarks(const TreeExport &document);
std::string exportOneTab(const TreeExport &document);
std::string exportMarkdown(const TreeExport &document);
std::string exportPlainText(const TreeExport &document);
std::string exportHtmlPage(const TreeExport &document);

} // namespace tarni::interop

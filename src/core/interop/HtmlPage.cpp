#include "interop/InteropBuilder.h"

namespace tarni::interop {

// A page a person can read and click: the tree as nested lists. Everything
// is escaped, only plain addresses become links, and the page's policy
// forbids scripts should anything slip through.
std::string exportHtmlPage(const TreeExport &document)
{
    const std::string title = escapeHtml(oneLine(document.rootNode.node.title()));
    std::string out;
    out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>" + title + "</title>\n"
           "<style>\n"
           "body { font-family: sans-serif; margin: 2em; line-height: 1.5; }\n"
           "ul { list-style: none; padding-left: 1.4em; }\n"
           "li.group > span { font-weight: bold; }\n"
           ".address { color: #777; font-size: 0.85em; margin-left: 0.6em; }\n"
           "</style>\n</head>\n<body>\n";
    walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t depth) {
            const WorkspaceNode &node = entry.node;
            const auto address = addressOfPayload(node.payload());
            const std::string text = escapeHtml(oneLine(node.title()));
            if (depth == 0)
                out += "<h1>" + text + "</h1>\n" + (address ? "<ul>\n" : "");
            if (depth > 0 || address) {
                out += address ? "<li>" : "<li class=\"group\">";
                if (address && isSafeToLink(*address))
                    out += "<a href=\"" + escapeHtml(*address) + "\" rel=\"noopener noreferrer\">" + text + "</a>";
                else
                    out += "<span>" + text + "</span>";
                if (address)
                    out += "<span class=\"address\">" + escapeHtml(oneLine(*address)) + "</span>";
            }
            if (!entry.children.empty())
                out += "\n<ul>\n";
        },
        [&](const TreeExportNode &entry, std::size_t depth) {
            if (!entry.children.empty())
                out += "</ul>\n";
            if (depth > 0 || addressOfPayload(entry.node.payload()))
                out += depth == 0 ? "</li>\n</ul>\n" : "</li>\n";
        });
    out += "</body>\n</html>\n";
    return out;
}

} // namespace tarni::interop

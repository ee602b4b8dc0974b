// Imports and exports in other tools' formats: round trips through each
// format, the tolerant bookmark scanner, shape detection and error positions.

#include "interop/InteropFormat.h"
#include "model/Uuid.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>

using namespace tarni;

namespace {

const Timestamp kNow = Timestamp(std::chrono::seconds(1'700'000'000));

TreeExportNode entry(const QString &title, NodePayload payload, std::vector<TreeExportNode> children = {})
{
    WorkspaceNode node(newUuid(), QUuid(), std::nullopt, payload.kind(), title, std::nullopt, 0, false, std::nullopt,
                       kNow, kNow, std::nullopt, payload);
    return TreeExportNode(newUuid(), node.id(), title, node, std::move(children));
}

TreeExportNode group(const QString &title, std::vector<TreeExportNode> children = {})
{
    return entry(title, NodePayload::group(), std::move(children));
}

TreeExportNode web(const QString &title, const QString &url)
{
    return entry(title, NodePayload::webLink(WebLinkTarget{url, std::nullopt}));
}

// Moved in, not copied: chains are built one level at a time.
TreeExportNode inGroup(TreeExportNode child)
{
    TreeExportNode outer = group(QStringLiteral("f"));
    outer.children.push_back(std::move(child));
    return outer;
}

// One line per node: depth, kind, title and address, which is what every
// format must carry over.
QString outline(const TreeExportNode &root)
{
    QString out;
    std::vector<std::pair<const TreeExportNode *, int>> stack{{&root, 0}};
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        const NodePayload &payload = node->node.payload();
        QString address;
        if (auto *link = payload.asWebLink())
            address = link->url;
        else if (auto *slack = payload.asSlackThread())
            address = slack->permalinkURL;
        else if (auto *file = payload.asFileTarget())
            address = file->path;
        out += QString(depth * 2, QLatin1Char(' ')) + QString::fromLatin1(rawValue(node->node.kind()).data()) +
            QLatin1Char(' ') + node->node.title() + (address.isEmpty() ? QString() : QStringLiteral(" <") + address + QLatin1Char('>')) +
            QLatin1Char('\n');
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
            stack.push_back({&*it, depth + 1});
    }
    return out;
}

InteropImport imported(std::string_view text, std::optional<InteropFormat> format)
{
    ImportOptions options;
    options.groupTitle = QStringLiteral("Imported");
    options.now = kNow;
    auto result = importInterop(text, format, options);
    EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description().toStdString());
    return result.ok() ? std::move(result).value() : InteropImport{};
}

InteropError failure(std::string_view text, std::optional<InteropFormat> format)
{
    auto result = importInterop(text, format, ImportOptions{QStringLiteral("Imported"), kNow, {}, nullptr});
    EXPECT_FALSE(result.ok());
    return result.ok() ? InteropError{} : result.error();
}

TreeExport sampleTree()
{
    TreeExport document;
    document.rootNode = group(QStringLiteral("Projects [2024] (a & b)"), {
        group(QStringLiteral("Design <review>"), {
            web(QStringLiteral("Plan \"draft\" [v2]"), QStringLiteral("https://example.com/a?x=1&y=(2)")),
            entry(QStringLiteral("Thread"), NodePayload::slackThread(SlackTarget{
                QStringLiteral("https://acme.slack.com/archives/C012AB3CD/p1712345678123456"),
                std::nullopt, QStringLiteral("C012AB3CD"), QStringLiteral("1712345678.123456"),
                SlackOpenMode::browserPermalink})),
            group(QStringLiteral("Nested"), {web(QStringLiteral("日本語のページ"), QStringLiteral("https://例え.jp/パス"))}),
        }),
        entry(QStringLiteral("Notes file"), NodePayload::file(FileTarget{QStringLiteral("/home/me/notes 1.txt"), std::nullopt})),
        entry(QStringLiteral("Docs folder"), NodePayload::folder(FileTarget{QStringLiteral("/home/me/docs"), std::nullopt})),
        group(QStringLiteral("Empty group")),
    });
    return document;
}

} // namespace

TEST(InteropRoundTrip, NestedFormatsGiveBackTheSameTree)
{
    const TreeExport document = sampleTree();
    for (InteropFormat format : {InteropFormat::bookmarks, InteropFormat::markdown}) {
        SCOPED_TRACE(interopFormatName(format).toStdString());
        auto text = exportInterop(document, format);
        ASSERT_TRUE(text.ok());
        const InteropImport back = imported(*text, std::nullopt);
        EXPECT_EQ(back.format, format);
        ASSERT_EQ(back.document.rootNode.children.size(), 1u);
        EXPECT_EQ(outline(back.document.rootNode.children[0]), outline(document.rootNode));
        EXPECT_EQ(back.summary, (ImportSummary{4, 5, 0, {}}));
    }
}

TEST(InteropRoundTrip, FlatFormatsKeepAddressesTitlesAndOrder)
{
    const TreeExport document = sampleTree();
    auto onetab = exportInterop(document, InteropFormat::onetab);
    ASSERT_TRUE(onetab.ok());
    // One OneTab group per parent: the design group, its nested group, then
    // the two entries at the top.
    EXPECT_EQ(outline(imported(*onetab, std::nullopt).document.rootNode),
              QStringLiteral("group Imported\n"
                             "  group OneTab group 1\n"
                             "    webLink Plan \"draft\" [v2] <https://example.com/a?x=1&y=(2)>\n"
                             "    slackThread Thread <https://acme.slack.com/archives/C012AB3CD/p1712345678123456>\n"
                             "  group OneTab group 2\n"
                             "    webLink 日本語のページ <https://例え.jp/パス>\n"
                             "  group OneTab group 3\n"
                             "    file Notes file </home/me/notes 1.txt>\n"
                             "    folder Docs folder </home/me/docs>\n"));

    auto text = exportInterop(document, InteropFormat::text);
    ASSERT_TRUE(text.ok());
    const InteropImport lines = imported(*text, std::nullopt);
    EXPECT_EQ(lines.format, InteropFormat::text);
    EXPECT_EQ(lines.summary, (ImportSummary{0, 5, 0, {}}));
    EXPECT_EQ(lines.document.rootNode.children[4].node.kind(), WorkspaceNodeKind::folder);
}

TEST(InteropExport, HtmlPageIsEscapedNestedAndWithoutScript)
{
    TreeExport document = sampleTree();
    document.rootNode.children.push_back(web(QStringLiteral("<script>alert(1)</script>"),
                                             QStringLiteral("javascript:alert(1)")));
    auto page = exportInterop(document, InteropFormat::html);
    ASSERT_TRUE(page.ok());
    const std::string &html = *page;
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("href=\"javascript"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"https://example.com/a?x=1&amp;y=(2)\""), std::string::npos);
    EXPECT_NE(html.find("Content-Security-Policy"), std::string::npos);
    // Nested lists open and close in balance.
    auto count = [&](std::string_view needle) {
        std::size_t n = 0;
        for (auto at = html.find(needle); at != std::string::npos; at = html.find(needle, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("<ul>"), count("</ul>"));
    EXPECT_EQ(count("<ul>"), 3u);
    EXPECT_FALSE(exportInterop(document, InteropFormat::sessions).ok());
}

TEST(InteropExport, BookmarkFileFollowsTheLineBasedLayoutBrowsersImport)
{
    // Browsers' bookmark importers read line by line: the doctype first, the
    // charset declared, every <DT> entry, <DL><p> and </DL><p> on its own line,
    // titles and attributes escaped.
    TreeExport document = sampleTree();
    document.rootNode.children[0].children[0].node.setTitle(QStringLiteral("two\nlines & <b>"));
    auto text = exportInterop(document, InteropFormat::bookmarks);
    ASSERT_TRUE(text.ok());
    const QStringList lines = QString::fromStdString(*text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(lines[0], QStringLiteral("<!DOCTYPE NETSCAPE-Bookmark-file-1>"));
    EXPECT_TRUE(QString::fromStdString(*text).contains(
        QStringLiteral("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">")));
    int depth = 0;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.startsWith(QStringLiteral("<DL><p>")))
            ++depth;
        else if (line.startsWith(QStringLiteral("</DL><p>")))
            --depth;
        else if (line.startsWith(QStringLiteral("<DT>"))) {
            EXPECT_TRUE(line.endsWith(QStringLiteral("</A>")) || line.endsWith(QStringLiteral("</H3>"))) << raw.toStdString();
        }
        EXPECT_GE(depth, 0);
    }
    EXPECT_EQ(depth, 0);
    EXPECT_TRUE(QString::fromStdString(*text).contains(
        QStringLiteral("<DT><A HREF=\"https://example.com/a?x=1&amp;y=(2)\" ADD_DATE=\"1700000000\">two lines &amp; &lt;b&gt;</A>")));
    EXPECT_TRUE(QString::fromStdString(*text).contains(QStringLiteral("HREF=\"file:///home/me/notes%201.txt\"")));
}

TEST(InteropImport, BookmarkScannerToleratesWhatBrowsersAndPeopleWrite)
{
    struct Row {
        const char *name;
        std::string_view input;
        const char *outline;
    };
    const Row rows[] = {
        {"chrome layout with CRLF", "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DL><p>\r\n    <DT><H3 ADD_DATE=\"1\">Bar</H3>\r\n"
                                    "    <DL><p>\r\n        <DT><A HREF=\"https://a.example/\">A</A>\r\n    </DL><p>\r\n"
                                    "    <DT><A HREF=\"https://b.example/\">B</A>\r\n</DL><p>\r\n",
         "group Bar\n  webLink A <https://a.example/>\nwebLink B <https://b.example/>\n"},
        {"lower case, no <p>, unquoted", "<dl><dt><h3>F</h3>\n<dl><dt><a href=https://a.example/>A</a>\n</dl></dl>",
         "group F\n  webLink A <https://a.example/>\n"},
        {"unclosed tags", "<DL><DT><H3>F\n<DL><DT><A HREF=\"https://a.example/\">A\n<DT><A HREF=\"https://b.example/\">B",
         "group F\n  webLink A <https://a.example/>\n  webLink B <https://b.example/>\n"},
        {"script and stray < in titles", "<DL><DT><A HREF=\"https://a.example/\">x <script>alert(1)</script> y</A>\n"
                                         "<DT><A HREF=\"https://b.example/\">1 < 2</A>\n<DT><A HREF=\"https://c.example/\">C</A>",
         "webLink x <script>alert(1)</script> y <https://a.example/>\nwebLink 1 < 2 <https://b.example/>\n"
         "webLink C <https://c.example/>\n"},
        {"entities in titles and addresses", "<DL><DT><A HREF=\"https://a.example/?a=1&amp;b=2\">Tom &amp; Jerry &#39;s &#x263A; &lt;&gt; &bogus;</A>",
         "webLink Tom & Jerry 's ☺ <> &bogus; <https://a.example/?a=1&b=2>\n"},
        {"folder without a list and unclosed quote", "<DL><DT><H3>Empty</H3>\n<DT><A HREF=\"https://a.example/>A</A>\n",
         "group Empty\nwebLink A <https://a.example/>\n"},
        {"slack, file and folder addresses", "<DL><DT><A HREF=\"https://acme.slack.com/archives/C1/p1712345678123456\">S</A>"
                                             "<DT><A HREF=\"file:///tmp/a%20b.txt\">F</A><DT><A HREF=\"file:///tmp/dir/\">D</A>",
         "slackThread S <https://acme.slack.com/archives/C1/p1712345678123456>\nfile F </tmp/a b.txt>\nfolder D </tmp/dir>\n"},
        {"scripts, garbage and other schemes skipped", "<DL><DT><A HREF=\"javascript:alert(1)\">J</A>"
                                                       "<DT><A HREF=\"not an address\">N</A><DT><A HREF=\"chrome://settings\">C</A>",
         ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const InteropImport result = imported(row.input, InteropFormat::bookmarks);
        QString children;
        for (const auto &child : result.document.rootNode.children)
            children += outline(child);
        EXPECT_EQ(children, QString::fromUtf8(row.outline));
    }
    EXPECT_EQ(imported(rows[7].input, InteropFormat::bookmarks).summary.skipped, 3);
}

TEST(InteropImport, BookmarkDatesAreSecondsOrMilliseconds)
{
    const InteropImport result = imported("<DL><DT><A HREF=\"https://a.example/\" ADD_DATE=\"1600000000\">A</A>"
                                          "<DT><A HREF=\"https://b.example/\" ADD_DATE=\"1600000000123\">B</A>"
                                          "<DT><A HREF=\"https://c.example/\" ADD_DATE=\"100000000000\">C</A>"
                                          "<DT><A HREF=\"https://d.example/\" ADD_DATE=\"soon\">D</A>",
                                          InteropFormat::bookmarks);
    const auto &links = result.document.rootNode.children;
    ASSERT_EQ(links.size(), 4u);
    EXPECT_EQ(links[0].node.createdAt().time_since_epoch().count(), 1'600'000'000);
    EXPECT_EQ(links[1].node.createdAt().time_since_epoch().count(), 1'600'000'000);
    EXPECT_EQ(links[2].node.createdAt().time_since_epoch().count(), 100'000'000'000); // 10^11 itself is seconds
    EXPECT_EQ(links[3].node.createdAt(), kNow);

    QList<WorkspaceNode> nodes;
    for (const auto *e : {&result.document.rootNode, &links[0], &links[1], &links[2], &links[3]}) {
        WorkspaceNode copy = e->node;
        copy.setCreatedAt(Timestamp{});
        nodes.append(copy);
    }
    keepImportedCreationDates(result.document, nodes);
    EXPECT_EQ(nodes[1].createdAt().time_since_epoch().count(), 1'600'000'000);
}

TEST(InteropImport, OneTabMarkdownAndTextLists)
{
    EXPECT_EQ(outline(imported("https://a.example/ | A | with bar\r\nhttps://b.example/\n\n\n"
                               "https://c.example/ | C\n",
                               std::nullopt)
                          .document.rootNode),
              QStringLiteral("group Imported\n  group OneTab group 1\n    webLink A | with bar <https://a.example/>\n"
                             "    webLink https://b.example/ <https://b.example/>\n  group OneTab group 2\n"
                             "    webLink C <https://c.example/>\n"));

    EXPECT_EQ(outline(imported("# Work\n\nSome words [Intro](https://i.example/) here.\n"
                               "- [A](https://a.example/)\n  - [A1](https://a1.example/)\n\t- Sub\n"
                               "      * <https://s.example/>\n- [ ] [Task](https://t.example/)\n"
                               "## Deeper\n1. https://d.example/\n# Home\n```\n- [No](https://code.example/)\n```\n"
                               "- Plain item\n",
                               std::nullopt)
                          .document.rootNode),
              QStringLiteral("group Imported\n  group Work\n    webLink Intro <https://i.example/>\n"
                             "    webLink A <https://a.example/>\n      webLink A1 <https://a1.example/>\n"
                             "        group Sub\n          webLink https://s.example/ <https://s.example/>\n"
                             "    webLink Task <https://t.example/>\n    group Deeper\n"
                             "      webLink https://d.example/ <https://d.example/>\n  group Home\n"
                             "    group Plain item\n"));

    const InteropImport text = imported("https://a.example/\n  \nftp://files.example/x\nhello world\n"
                                        "javascript:alert(1)\n",
                                        InteropFormat::text);
    EXPECT_EQ(text.summary.links, 1);
    EXPECT_EQ(text.summary.skipped, 3);
}

// A file made to attack whoever imports it: only what the entry rules accept
// becomes a node, in every format, and the rest is counted by reason.
TEST(InteropImport, HostileAddressesInEveryFormatImportOnlyWhatTheRulesAccept)
{
    const char *hostile[] = {"--utility-cmd-prefix=/tmp/run.sh", "javascript:alert(1)", "file:relative/x.txt",
                             "x-terminal-emulator:sh", "mailto:a@example.com?attach=/etc/passwd", "smb://host/share",
                             "data:text/html,x", "view-source:https://a.example/"};
    std::string bookmarks = "<DL>", onetab, markdown, text;
    for (const char *address : hostile) {
        bookmarks += std::string("<DT><A HREF=\"") + address + "\">x</A>\n";
        onetab += std::string(address) + " | x\n";
        markdown += std::string("- [x](") + address + ")\n";
        text += std::string(address) + "\n";
    }
    bookmarks += "<DT><A HREF=\"https://ok.example/\">ok</A></DL>";
    onetab += "https://ok.example/ | ok\n";
    markdown += "- [ok](https://ok.example/)\n";
    text += "https://ok.example/\n";
    std::string sessions = R"({"sessions":[{"windows":[{"tabs":[)";
    for (const char *address : hostile)
        sessions += std::string(R"({"url":")") + address + R"(","title":"x"},)";
    sessions += R"({"url":"https://ok.example/","title":"ok"}]}]}]})";

    const std::pair<InteropFormat, std::string> files[] = {
        {InteropFormat::bookmarks, bookmarks}, {InteropFormat::onetab, onetab}, {InteropFormat::markdown, markdown},
        {InteropFormat::text, text},           {InteropFormat::sessions, sessions}};
    for (const auto &[format, content] : files) {
        SCOPED_TRACE(interopFormatName(format).toStdString());
        const InteropImport result = imported(content, format);
        EXPECT_EQ(result.summary.links, 1);
        EXPECT_EQ(result.summary.skipped, std::int64_t(std::size(hostile)));
        EXPECT_EQ(result.summary.refused.total(), result.summary.skipped);
        EXPECT_TRUE(outline(result.document.rootNode).contains(QStringLiteral("<https://ok.example/>")));
    }

    // Our own documents: a refused entry with children becomes a group of
    // its title, so nothing below it is lost; a blank title is replaced.
    TreeExport document;
    document.rootNode = group(QStringLiteral("Root"), {
        entry(QStringLiteral("Evil tab"), NodePayload::chromeTab(BrowserTarget{QStringLiteral("--proxy-server=x:1"),
                                                                                QStringLiteral("t"), {}, {}, {}}),
              {web(QStringLiteral("Kept"), QStringLiteral("https://kept.example/"))}),
        web(QStringLiteral("Script"), QStringLiteral("javascript:alert(1)")),
        entry(QStringLiteral("Fake Slack"), NodePayload::slackThread(SlackTarget{
                                                QStringLiteral("https://evil.example/archives/C1/p1"), {}, {}, {}, {}})),
        entry(QStringLiteral("Relative"), NodePayload::file(FileTarget{QStringLiteral("notes.txt"), {}})),
        web(QStringLiteral(" "), QStringLiteral("https://untitled.example/")),
    });
    const std::string json = exportInterop(document, InteropFormat::tarnibar).value();
    const InteropImport own = imported(json, InteropFormat::tarnibar);
    EXPECT_EQ(outline(own.document.rootNode),
              QStringLiteral("group Root\n  group Evil tab\n    webLink Kept <https://kept.example/>\n"
                             "  webLink https://untitled.example/ <https://untitled.example/>\n"));
    EXPECT_EQ(own.summary.skipped, 4);
    EXPECT_EQ(own.summary.refused.counts[std::size_t(EntryProblem::notSlackAddress)], 1);
    EXPECT_EQ(own.summary.refused.counts[std::size_t(EntryProblem::notAbsolutePath)], 1);

    // From a file our own documents are decoded as they are read, with the
    // same rules and the file named in a refusal.
    QTemporaryDir dir;
    const std::filesystem::path file = dir.filePath(QStringLiteral("own.json")).toStdString();
    std::ofstream(file, std::ios::binary) << json;
    auto fromFile = importInteropFile(file, std::nullopt, {});
    ASSERT_TRUE(fromFile.ok()) << fromFile.error().description().toStdString();
    EXPECT_EQ(fromFile->format, InteropFormat::tarnibar);
    EXPECT_EQ(fromFile->document, own.document);
    EXPECT_EQ(fromFile->summary, own.summary);
    std::ofstream(file, std::ios::binary) << json.substr(0, 40);
    auto cut = importInteropFile(file, InteropFormat::tarnibar, {});
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error().description(),
              QStringLiteral("\"%1\", not a JSON document: invalid at byte 40").arg(QString::fromStdString(file.string())));
}

TEST(InteropImport, SessionShapesAreToldApart)
{
    // Windows keyed by id, tabs keyed by id in any order: "index" decides.
    const InteropImport keyed = imported(
        R"([{"name":"Morning","date":1600000000000,"windows":{"7":{"2":{"url":"https://b.example/","title":"B","index":1},
            "1":{"url":"https://a.example/","title":"A","index":0,"pinned":true}}},"windowsInfo":{"7":{}}}])",
        std::nullopt);
    EXPECT_EQ(outline(keyed.document.rootNode),
              QStringLiteral("group Imported\n  group Morning\n    group Window 1\n"
                             "      webLink A <https://a.example/>\n      webLink B <https://b.example/>\n"));
    const auto &pinned = keyed.document.rootNode.children[0].children[0].children[0].node;
    EXPECT_EQ(pinned.subtitle(), QStringLiteral("Pinned · https://a.example/"));
    EXPECT_EQ(keyed.document.rootNode.children[0].node.createdAt().time_since_epoch().count(), 1'600'000'000);

    EXPECT_EQ(outline(imported(R"({"sessions":[{"windows":[{"tabs":[{"url":"https://a.example/","title":"A"}]},
                                   {"tabs":[{"url":"https://b.example/","title":"B"}]}]}]})",
                               std::nullopt)
                          .document.rootNode),
              QStringLiteral("group Imported\n  group Session 1\n    group Window 1\n      webLink A <https://a.example/>\n"
                             "    group Window 2\n      webLink B <https://b.example/>\n"));

    EXPECT_EQ(outline(imported(R"([{"type":"header"},[1,{"type":"session"},[]],
        [2,{"type":"savedwin","marks":{"customTitle":"Research"}},[0]],
        [3,{"type":"savedtab","data":{"url":"https://a.example/","title":"A"}},[0,0]],
        [4,{"type":"tab","data":{"url":"https://n.example/","title":"Nested"}},[0,0,0]],
        [5,{"type":"separatorline"},[0,1]],
        [6,{"type":"textnote","data":{"note":"Read later"}},[0,2]],
        [7,{"type":"savedtab","data":{"url":"https://b.example/","title":"B"}},[0,2,0]],
        [8,{"type":"win"},[1]],{"type":"footer"}])",
                               InteropFormat::sessions)
                          .document.rootNode),
              QStringLiteral("group Imported\n  group Research\n    webLink A <https://a.example/>\n"
                             "      webLink Nested <https://n.example/>\n    group Read later\n"
                             "      webLink B <https://b.example/>\n  group Window 2\n"));

    const InteropError unknown = failure(R"({"tabs":[]})", InteropFormat::sessions);
    EXPECT_TRUE(unknown.reason.contains(QStringLiteral("\"sessions\"[].windows[].tabs[]"))) << unknown.reason.toStdString();
    EXPECT_TRUE(unknown.reason.contains(QStringLiteral("childIndexPath")));
}

TEST(InteropImport, DetectionAndBadInputName)
{
    struct Row {
        std::string_view text;
        std::optional<InteropFormat> format;
    };
    const Row rows[] = {
        {"\xEF\xBB\xBF<!DOCTYPE NETSCAPE-Bookmark-file-1>", InteropFormat::bookmarks},
        {"  <dl><p><dt><a href=\"x\">", InteropFormat::bookmarks},
        {"{\"schemaVersion\":1,\"rootNode\":{}}", InteropFormat::tarnibar},
        {"{\"sessions\":[]}", InteropFormat::sessions},
        {"[{\"windows\":{}}]", InteropFormat::sessions},
        {"https://a.example/ | A\nhttps://b.example/\n", InteropFormat::onetab},
        {"- [A](https://a.example/)\n", InteropFormat::markdown},
        {"https://a.example/\nhttp://b.example/\n", InteropFormat::text},
        {"Dear diary,\ntoday I\n", std::nullopt},
        {"  \n\n", std::nullopt},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.text));
        auto detected = detectInteropFormat(row.text);
        EXPECT_EQ(detected.ok(), row.format.has_value());
        if (detected.ok() && row.format) {
            EXPECT_EQ(*detected, *row.format);
        }
    }

    // Bytes that are not UTF-8, in every format, with line and byte.
    const InteropError bad = failure("https://a.example/\nhttps://b.example/\nhttps://c.\xC3(/\n", InteropFormat::text);
    EXPECT_EQ(bad.line, 3);
    EXPECT_EQ(bad.byteOffset, 48);
    const InteropError json = failure("[{\"windows\": {}},\n  {\"windows\": }]", InteropFormat::sessions);
    EXPECT_EQ(json.line, 2);
    EXPECT_TRUE(json.description().startsWith(QStringLiteral("line 2 (byte 32): not JSON"))) << json.description().toStdString();
    EXPECT_FALSE(importInterop("https://a.example/", InteropFormat::html, {}).ok());
    EXPECT_TRUE(failure("just words", InteropFormat::bookmarks).reason.contains(QStringLiteral("not a bookmark file")));
}

// Every format stops at one depth, named in its refusal.
TEST(InteropImport, NestingIsLimitedAlikeInEveryFormat)
{
    struct Nested {
        InteropFormat format;
        std::string (*make)(int levels);
    };
    const std::vector<Nested> formats{
        {InteropFormat::bookmarks,
         [](int levels) {
             std::string text;
             for (int i = 0; i < levels; ++i)
                 text += "<DT><H3>f</H3><DL>";
             return text + "<DT><A HREF=\"https://a.example/\">A</A>";
         }},
        {InteropFormat::markdown,
         [](int levels) {
             std::string text;
             for (int i = 0; i < levels; ++i)
                 text += std::string(2 * std::size_t(i), ' ') + "- [A](https://a.example/)\n";
             return text;
         }},
        {InteropFormat::sessions,
         [](int levels) {
             std::string text = R"([{"type":"header"},[0,{"type":"session"},[]])";
             std::string path;
             for (int i = 1; i <= levels; ++i) {
                 path += path.empty() ? "0" : ",0";
                 text += ",[" + std::to_string(i) + R"(,{"type":"textnote","data":{"note":"n"}},[)" + path + "]]";
             }
             return text + "]";
         }},
        {InteropFormat::tarnibar,
         [](int levels) {
             TreeExport document;
             document.rootNode = web(QStringLiteral("A"), QStringLiteral("https://a.example/"));
             for (int i = 1; i < levels; ++i)
                 document.rootNode = inGroup(std::move(document.rootNode));
             return *exportInterop(document, InteropFormat::tarnibar);
         }},
    };
    const QString limit = QStringLiteral("deeper than %1 levels").arg(kMaxImportDepth);
    for (const Nested &nested : formats) {
        SCOPED_TRACE(interopFormatName(nested.format).toStdString());
        EXPECT_TRUE(importInterop(nested.make(int(kMaxImportDepth)), nested.format, {}).ok());
        auto refused = importInterop(nested.make(int(kMaxImportDepth) + 1), nested.format, {});
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().description().contains(limit)) << refused.error().description().toStdString();
    }

    std::atomic<bool> cancelled{true};
    ImportOptions options{QStringLiteral("Imported"), kNow, {}, &cancelled};
    EXPECT_FALSE(importInterop(formats[0].make(int(kMaxImportDepth)), InteropFormat::bookmarks, options).ok());
}

// A stored tree may be deeper than any import; it is written without
// recursion, and its indentation stops growing.
TEST(InteropExport, DeepTreesAreWrittenWithoutRecursion)
{
    TreeExport document;
    document.rootNode = web(QStringLiteral("A"), QStringLiteral("https://a.example/"));
    for (int i = 0; i < 200'000; ++i)
        document.rootNode = inGroup(std::move(document.rootNode));
    for (InteropFormat format : {InteropFormat::bookmarks, InteropFormat::html, InteropFormat::tarnibar})
        EXPECT_TRUE(exportInterop(document, format).ok()) << interopFormatName(format).toStdString();
    auto markdown = exportInterop(document, InteropFormat::markdown);
    ASSERT_TRUE(markdown.ok());
    EXPECT_LT(markdown->size(), 50'000'000u);
}

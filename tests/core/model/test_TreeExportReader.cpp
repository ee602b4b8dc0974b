#include "archive/TreeExportFile.h"
#include "model/TreeExportReader.h"
#include "model/Uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace tarni;
using namespace std::chrono;

namespace {

const QUuid kWorkspace = *parseUuid(std::string_view("11111111-2222-3333-4444-555555555555"));
const Timestamp kCreated = sys_days{year{2024} / March / 1} + hours{9} + minutes{30};

TreeExportNode entry(NodePayload payload, const QString &title)
{
    const WorkspaceNodeKind kind = payload.kind();
    WorkspaceNode node(newUuid(), kWorkspace, std::nullopt, kind, title, std::nullopt, 1.5, false, std::nullopt,
                       kCreated, kCreated, std::nullopt, std::move(payload));
    return TreeExportNode(newUuid(), node.id(), title, node);
}

// A group holding a link, a file with bytes and a nested group.
TreeExport sampleDocument()
{
    TreeExport document;
    document.exportedAt = kCreated;
    document.rootNode = entry(NodePayload::group(GroupPayload{QStringLiteral("#FF8800")}), QStringLiteral("Root ✓"));
    document.rootNode.children.push_back(
        entry(NodePayload::webLink(WebLinkTarget{QStringLiteral("https://example.org/?q=\"x\""), std::nullopt}),
              QStringLiteral("日本語 link")));
    document.rootNode.children.push_back(entry(
        NodePayload::file(FileTarget{QStringLiteral("/home/u/a.txt"), QByteArray("\x00\xff\x10", 3)}), QStringLiteral("File")));
    document.rootNode.children.push_back(entry(NodePayload::group(GroupPayload{}), QStringLiteral("Inner")));
    document.rootNode.children.back().children.push_back(
        entry(NodePayload::folder(FileTarget{QStringLiteral("/tmp"), std::nullopt}), QStringLiteral("Folder")));
    return document;
}

// Hands out `text` `chunk` bytes at a time.
json::ByteSource sourceOf(const std::string &text, std::size_t chunk)
{
    return [&text, chunk, at = std::size_t(0)](char *buffer, std::size_t size) mutable {
        const std::size_t n = std::min({chunk, size, text.size() - at});
        std::memcpy(buffer, text.data() + at, n);
        at += n;
        return n;
    };
}

std::string replaced(std::string text, const std::string &from, const std::string &to, bool last = false)
{
    const std::size_t at = last ? text.rfind(from) : text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string describe(const json::Decoded<TreeExport> &decoded)
{
    return decoded ? std::string("decoded") : decoded.error().description().toStdString();
}

} // namespace

// Whatever the whole-text decoder says about a text, the reader says too, in
// pieces of any size.
TEST(TreeExportReader, AgreesWithTheWholeTextDecoder)
{
    const TreeExport sample = sampleDocument();
    const std::string valid = *TreeExportFile::encode(sample);
    const std::string compact = *json::encode(sample);
    const std::string texts[] = {
        valid,
        compact,
        replaced(compact, "\"app\":", "\"extra\":{\"a\":[1,2.5e3,null,true,{\"b\":\"\\u00e9\"}]},\"app\":"),
        replaced(compact, "\"children\":[]", "\"children\":[],\"children\":[]"),
        "",
        "   ",
        "hello",
        "{\"app\": ",
        "[1, 2, 3]",
        "42",
        "\"text\"",
        "{}",
        compact + " x",
        compact + " \"open",
        replaced(compact, "\"kind\":\"webLink\"", "\"kind\":\"group\"") + " x",
        compact + std::string(1, '\0'),
        compact + "\n\t ",
        replaced(compact, "\"kind\":\"webLink\"", "\"kind\":\"group\""),
        replaced(compact, "\"Inner\"", "17"),
        replaced(compact, "\"schemaVersion\":1", "\"schemaVersion\":1.5"),
        replaced(compact, "\"schemaVersion\":1", "\"schemaVersion\":99999999999999999999"),
        replaced(compact, "\"schemaVersion\":1", "\"schemaVersion\":1e400"),
        replaced(compact, "\"exportedAt\":\"2024", "\"exportedAt\":\"1999"),
        replaced(compact, "\"exportedAt\":\"2024-03-01T09:30:00Z\"", "\"exportedAt\":\"yesterday\""),
        replaced(compact, "\"originalNodeID\":\"", "\"originalNodeID\":null,\"x\":\""),
        replaced(compact, "\"originalNodeID\":\"", "\"originalNodeID\":\"zz"),
        replaced(compact, "\"rootNode\":{", "\"rootNode\":[{"),
        replaced(compact, "\"children\":[{", "\"children\":{\"a\":{"),
        replaced(compact, "\"children\":[{", "\"children\":[7,{"),
        replaced(compact, "\"children\":[]", "\"kids\":[]"),
        replaced(compact, "\"title\":\"Inner\"", "\"title\":\"Inner\\x\""),
        replaced(compact, "\"title\":\"Inner\"", "\"title\":\"Inner\xff\""),
        replaced(compact, "\"title\":\"Inner\"", "\"title\":\"Inner\xff\"") + "}",
        // A fault in the content, then text that is not JSON: the latter is said.
        replaced(compact, "\"kind\":\"webLink\"", "\"kind\":\"group\"") + "}",
        compact.substr(0, compact.size() / 2),
    };
    for (const std::string &text : texts) {
        const auto whole = json::decodeTreeExport(text);
        for (const std::size_t chunk : {std::size_t(1), std::size_t(7), std::size_t(1) << 20}) {
            const auto read = json::readTreeExport(sourceOf(text, chunk));
            ASSERT_EQ(describe(read), describe(whole)) << "chunks of " << chunk << ": " << text.substr(0, 200);
            if (read) {
                EXPECT_EQ(*read, *whole);
            }
        }
    }

    // The depth limit, and a byte-order mark in front (positions count after it).
    const std::string marked = "\xEF\xBB\xBF{\"app\":";
    EXPECT_EQ(describe(json::readTreeExport(sourceOf(marked, 2))), "not a JSON document: invalid at byte 7");
    EXPECT_EQ(describe(json::readTreeExport(sourceOf(valid, 5), 2)), describe(json::decodeTreeExport(valid, 2)));
    EXPECT_NE(describe(json::readTreeExport(sourceOf(valid, 5), 2)).find("deeper than 2 levels"), std::string::npos);
    const auto three = json::readTreeExport(sourceOf(valid, 5), 3);
    ASSERT_TRUE(three) << describe(three);
    EXPECT_EQ(*three, sample);
}

TEST(TreeExportReader, AbsurdValuesAndNestingAreRefused)
{
    const std::string compact = *json::encode(sampleDocument());
    auto refusal = [](const std::string &text, std::size_t maxValueBytes) {
        return describe(json::readTreeExport(sourceOf(text, 4096), kMaxImportDepth, maxValueBytes));
    };
    const std::string longTitle(1000, 'x');
    const std::string titled = replaced(compact, "\"title\":\"Root ✓\"", "\"title\":\"" + longTitle + "\"", true);
    EXPECT_EQ(refusal(titled, 1100), "decoded");
    EXPECT_EQ(refusal(titled, 900),
              "\"rootNode.title\": the value is larger than 900 bytes, the most one value may hold");
    // A record is measured whole, a string or number in a value nobody reads
    // on its own.
    const std::string nodeRecord = refusal(compact, 300);
    EXPECT_NE(nodeRecord.find("\"rootNode.children[0].node\": the value is larger than 300 bytes"), std::string::npos) << nodeRecord;
    const std::string ignored = replaced(compact, "\"app\":", "\"notes\":\"" + longTitle + "\",\"app\":");
    EXPECT_EQ(refusal(ignored, 900), "\"notes\": the value is larger than 900 bytes, the most one value may hold");
    EXPECT_EQ(refusal(ignored, 1100), "decoded");

    const std::size_t levels = 2 * kMaxImportDepth + json::kMaxImportValueNesting;
    auto nested = [&](std::size_t depth) {
        return replaced(compact, "\"app\":", "\"notes\":" + std::string(depth, '[') + std::string(depth, ']') + ",\"app\":");
    };
    EXPECT_EQ(refusal(nested(levels - 1), 1024), "decoded");
    EXPECT_EQ(refusal(nested(levels), 1024),
              "\"notes\": values are nested deeper than " + std::to_string(levels) + " levels");
}

#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <limits>

using namespace tarni;
using namespace std::chrono;

namespace {

const QUuid kWorkspace = *parseUuid(std::string_view("11111111-2222-3333-4444-555555555555"));
const Timestamp kCreated = sys_days{year{2024} / March / 1} + hours{9} + minutes{30};

WorkspaceNode makeNode(NodePayload payload, std::optional<QUuid> parent = std::nullopt)
{
    const WorkspaceNodeKind kind = payload.kind();
    return WorkspaceNode(newUuid(), kWorkspace, parent, kind, QStringLiteral("Title ✓ 日本語"), std::nullopt, 2.5,
                         false, std::nullopt, kCreated, kCreated + seconds{1}, std::nullopt, std::move(payload));
}

// One node of each kind with every optional field set, and the same with none.
std::vector<WorkspaceNode> everyKind(bool withOptionals)
{
    auto opt = [&](const char *text) {
        return withOptionals ? std::optional<QString>(QString::fromUtf8(text)) : std::nullopt;
    };
    std::vector<NodePayload> payloads{
        NodePayload::group(GroupPayload{opt("#FF8800")}),
        NodePayload::chromeTab(BrowserTarget{QStringLiteral("https://example.com/a?b=\"c\""), QStringLiteral("Tab"),
                                             opt("https://example.com/favicon.ico"), BrowserOpenMode::newWindow,
                                             std::nullopt}),
        NodePayload::webLink(WebLinkTarget{QStringLiteral("https://example.org"), opt("firefox")}),
        NodePayload::slackThread(SlackTarget{QStringLiteral("https://acme.slack.com/archives/C1/p1700000000000100"),
                                             opt("T1"), opt("C1"), opt("1700000000.000100"),
                                             SlackOpenMode::askEveryTime}),
        NodePayload::file(FileTarget{QStringLiteral("/home/u/notes.txt"),
                                     withOptionals ? std::optional<QByteArray>(QByteArray("\x00\xff\x10 bytes", 9))
                                                   : std::nullopt}),
        NodePayload::folder(FileTarget{QStringLiteral("/home/u/Projects"), std::nullopt}),
    };
    std::vector<WorkspaceNode> nodes;
    for (auto &payload : payloads) {
        WorkspaceNode node = makeNode(payload, withOptionals ? std::optional<QUuid>(newUuid()) : std::nullopt);
        if (withOptionals) {
            node.setIconKey(QStringLiteral("star"));
            node.setLastOpenedAt(kCreated + hours{1});
            node.setIsCollapsed(true);
        } else {
            node.setSubtitle(std::nullopt);
        }
        nodes.push_back(node);
    }
    return nodes;
}

std::string encoded(const WorkspaceNode &node)
{
    auto json = json::encode(node);
    EXPECT_TRUE(json.ok());
    return json.ok() ? *json : std::string();
}

// A node's JSON with one top-level key replaced (or removed, for nullptr).
std::string withKey(const WorkspaceNode &node, const char *key, const char *valueJson)
{
    rapidjson::Document doc;
    doc.Parse(encoded(node).c_str());
    doc.RemoveMember(key);
    if (valueJson) {
        rapidjson::Document value(&doc.GetAllocator());
        value.Parse(valueJson);
        doc.AddMember(rapidjson::Value(key, doc.GetAllocator()), rapidjson::Value(value, doc.GetAllocator()),
                      doc.GetAllocator());
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    return buffer.GetString();
}

std::string errorOf(const json::Decoded<WorkspaceNode> &result)
{
    return result.ok() ? std::string("(decoded)") : result.error().description().toStdString();
}

} // namespace

TEST(WorkspaceNodeJson, EveryKindRoundTripsWithAndWithoutOptionalFields)
{
    for (bool withOptionals : {true, false}) {
        for (const auto &node : everyKind(withOptionals)) {
            const std::string text = encoded(node);
            auto decoded = json::decodeWorkspaceNode(text);
            ASSERT_TRUE(decoded.ok()) << errorOf(decoded) << "\n" << text;
            EXPECT_EQ(*decoded, node) << text;
            // Absent optionals leave no key behind, not even null.
            if (!withOptionals) {
                for (const char *key : {"\"parentID\"", "\"subtitle\"", "\"iconKey\"", "\"lastOpenedAt\"",
                                        "\"tintHex\"", "\"favIconURL\"", "\"preferredBrowser\"", "\"teamID\"",
                                        "\"bookmarkData\"", "null"})
                    EXPECT_EQ(text.find(key), std::string::npos) << key << " in " << text;
            }
        }
    }
}

TEST(WorkspaceNodeJson, TheStampFreeFormCutFromTheTextIsTheEncodingOfTheNodeWithoutStamps)
{
    for (bool withOptionals : {true, false}) {
        for (WorkspaceNode node : everyKind(withOptionals)) {
            // A title that holds the keys' text must not move the cut.
            node.setTitle(QStringLiteral(R"(,"updatedAt":"x","lastOpenedAt":"y")"));
            std::string text = "[";
            json::StampSpans stamps;
            ASSERT_TRUE(json::appendCompact(text, node, stamps).ok());
            std::string cut;
            for (std::string_view piece : json::stampFreePieces(std::string_view(text).substr(1), stamps))
                cut += piece;

            WorkspaceNode stampless = node;
            stampless.edit().updatedAt = Timestamp{};
            stampless.edit().lastOpenedAt = std::nullopt;
            EXPECT_EQ(cut, encoded(stampless));
            EXPECT_EQ(text.substr(1), encoded(node));
        }
    }
}

TEST(WorkspaceNodeJson, WritesTheDocumentedValueForms)
{
    WorkspaceNode node = everyKind(true)[4]; // a file with a bookmark
    node.setId(*parseUuid(std::string_view("0f8fad5b-d9cb-469f-a165-70867728950e")));
    const std::string text = encoded(node);
    EXPECT_NE(text.find("\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"createdAt\":\"2024-03-01T09:30:00Z\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"kind\":\"file\""), std::string::npos);
    EXPECT_NE(text.find("\"isCollapsed\":true"), std::string::npos);
    EXPECT_NE(text.find("\"bookmarkData\":\"AP8QIGJ5dGVz\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"payload\":{\"file\":{"), std::string::npos) << text;

    const std::string group = *json::encode(NodePayload::group());
    EXPECT_EQ(group, R"({"group":{},"type":"group"})");
}

TEST(WorkspaceNodeJson, EveryObjectHasSortedKeysAtEveryLevel)
{
    TreeExport document;
    document.exportedAt = kCreated;
    document.rootNode = TreeExportNode(newUuid(), std::nullopt, QStringLiteral("Workspace"), everyKind(true)[0]);
    for (const auto &node : everyKind(true))
        document.rootNode.children.emplace_back(newUuid(), node.id(), node.title(), node);
    document.rootNode.children[1].children.emplace_back(newUuid(), std::nullopt, QStringLiteral("x"), everyKind(false)[2]);

    for (auto style : {json::JsonStyle::compact, json::JsonStyle::pretty}) {
        auto text = json::encode(document, style);
        ASSERT_TRUE(text.ok());
        rapidjson::Document doc;
        ASSERT_FALSE(doc.Parse(text->c_str()).HasParseError());
        std::vector<const rapidjson::Value *> pending{&doc};
        while (!pending.empty()) {
            const rapidjson::Value *v = pending.back();
            pending.pop_back();
            if (v->IsObject()) {
                std::string previous;
                for (auto it = v->MemberBegin(); it != v->MemberEnd(); ++it) {
                    const std::string key = it->name.GetString();
                    EXPECT_LT(previous, key) << "keys out of order";
                    previous = key;
                    pending.push_back(&it->value);
                }
            } else if (v->IsArray()) {
                for (auto &element : v->GetArray())
                    pending.push_back(&element);
            }
        }
    }
}

// Missing keys are the round trip's; null is what other writers put there.
TEST(WorkspaceNodeJson, NullOptionalKeysMeanAbsent)
{
    const WorkspaceNode node = everyKind(true)[1];
    for (const char *key : {"parentID", "subtitle", "iconKey", "lastOpenedAt"}) {
        auto decoded = json::decodeWorkspaceNode(withKey(node, key, "null"));
        ASSERT_TRUE(decoded.ok()) << key << ": " << errorOf(decoded);
        EXPECT_EQ(encoded(*decoded).find('"' + std::string(key) + '"'), std::string::npos) << key;
    }
}

TEST(WorkspaceNodeJson, EveryRequiredKeyIsRequiredAndNamedWhenMissing)
{
    const WorkspaceNode node = everyKind(false)[2];
    for (const char *key : {"id", "workspaceID", "kind", "title", "sortOrder", "isCollapsed", "createdAt",
                            "updatedAt", "payload"}) {
        for (const char *value : {static_cast<const char *>(nullptr), "null"}) {
            auto decoded = json::decodeWorkspaceNode(withKey(node, key, value));
            ASSERT_FALSE(decoded.ok()) << key;
            EXPECT_EQ(decoded.error().path, QString::fromLatin1(key)) << errorOf(decoded);
        }
    }
}

TEST(WorkspaceNodeJson, WrongTypesAndValuesFailWithTheKeyAndReason)
{
    const WorkspaceNode node = everyKind(false)[2];
    struct Case {
        const char *key;
        const char *value;
        const char *reasonPart;
    };
    const Case cases[] = {
        {"sortOrder", "\"1\"", "expected a number"},
        {"sortOrder", "1e400", "number"},
        {"isCollapsed", "1", "expected true or false"},
        {"title", "5", "expected a string"},
        {"kind", "\"slackChannel\"", "is not a node kind"},
        {"kind", "\"Group\"", "is not a node kind"},
        {"id", "\"{0F8FAD5B-D9CB-469F-A165-70867728950E}\"", "is not a UUID"},
        {"createdAt", "\"2024-03-01T09:30:00.5Z\"", "is not a timestamp"},
        {"updatedAt", "1709285400", "expected a string"},
        {"payload", "[]", "expected an object"},
    };
    for (const auto &c : cases) {
        auto decoded = json::decodeWorkspaceNode(withKey(node, c.key, c.value));
        ASSERT_FALSE(decoded.ok()) << c.key << "=" << c.value;
        EXPECT_EQ(decoded.error().path, QString::fromLatin1(c.key));
        EXPECT_NE(errorOf(decoded).find(c.reasonPart), std::string::npos) << errorOf(decoded);
    }
    // Whole numbers are numbers too.
    EXPECT_TRUE(json::decodeWorkspaceNode(withKey(node, "sortOrder", "3")).ok());
}

TEST(NodePayloadJson, TypeNamesTheOnlyCaseThatIsRead)
{
    struct Case {
        const char *json;
        bool ok;
        const char *pathOrKind;
    };
    const Case cases[] = {
        {R"({"type":"webLink","chromeTab":{"url":"u","titleSnapshot":"t","preferredOpenMode":"newTab"}})", false,
         "webLink"},
        {R"({"type":"folder","file":{"path":"/a"},"folder":{"path":"/b"}})", true, "folder"},
        {R"({"file":{"path":"/a"},"folder":{"path":"/b"},"type":"file"})", true, "file"},
        {R"({"type":"folder","folder":{"path":"/b"},"file":17})", true, "folder"},
        {R"({"group":{}})", false, "type"},
        {R"({"type":"slackChannel","slackChannel":{}})", false, "type"},
        {R"({"type":null,"group":{}})", false, "type"},
        {R"({"type":"group","group":null})", false, "group"},
        {R"({"type":"group","group":{"tintHex":null,"extra":[1,{"deep":[[[]]]}]}})", true, "group"},
        {R"({"type":"slackThread","slackThread":{"permalinkURL":"p"}})", false, "slackThread.preferredOpenMode"},
        {R"({"type":"slackThread","slackThread":{"permalinkURL":"p","preferredOpenMode":"slackChannel"}})", true,
         "slackThread"},
        {R"({"type":"chromeTab","chromeTab":{"url":"u","titleSnapshot":"t","preferredOpenMode":"sideways"}})", false,
         "chromeTab.preferredOpenMode"},
        {R"({"type":"file","file":{"path":"/a","bookmarkData":"not base64!"}})", false, "file.bookmarkData"},
    };
    for (const auto &c : cases) {
        auto decoded = json::decodeNodePayload(c.json);
        ASSERT_EQ(decoded.ok(), c.ok) << c.json << " -> "
                                      << (decoded.ok() ? "ok" : decoded.error().description().toStdString());
        if (decoded.ok())
            EXPECT_EQ(rawValue(decoded->kind()), c.pathOrKind);
        else
            EXPECT_EQ(decoded.error().path, QString::fromLatin1(c.pathOrKind));
    }
    auto folder = json::decodeNodePayload(cases[1].json);
    ASSERT_TRUE(folder.ok());
    ASSERT_NE(folder->asFolder(), nullptr);
    EXPECT_EQ(folder->asFolder()->path, QStringLiteral("/b"));
    EXPECT_EQ(folder->asFile(), nullptr);
}

TEST(NodePayloadJson, RuntimeBindingIsPartOfEqualityButNeverEncoded)
{
    BrowserTarget bound{QStringLiteral("https://a"), QStringLiteral("A"), std::nullopt, BrowserOpenMode::existingTab,
                        RuntimeTabBinding{7, 42}};
    BrowserTarget unbound = bound;
    unbound.runtimeTabBinding.reset();
    EXPECT_NE(bound, unbound);
    EXPECT_EQ(*json::encode(bound), *json::encode(unbound));
    auto back = json::decodeBrowserTarget(*json::encode(bound));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, unbound);
    // Even a binding present in the input is not read.
    auto withKey = json::decodeBrowserTarget(
        R"({"url":"u","titleSnapshot":"t","preferredOpenMode":"newTab","runtimeTabBinding":{"windowID":1,"tabID":2}})");
    ASSERT_TRUE(withKey.ok());
    EXPECT_FALSE(withKey->runtimeTabBinding.has_value());
}

TEST(WorkspaceNodeModel, SubtitleDefaultAppliesOnlyInTheInitializer)
{
    const auto nodes = everyKind(false); // built with no subtitle, then cleared
    WorkspaceNode tab = makeNode(nodes[1].payload());
    EXPECT_EQ(tab.subtitle(), nodes[1].payload().asChromeTab()->url);
    EXPECT_EQ(makeNode(nodes[3].payload()).subtitle(), nodes[3].payload().asSlackThread()->permalinkURL);
    EXPECT_EQ(makeNode(nodes[5].payload()).subtitle(), QStringLiteral("/home/u/Projects"));
    EXPECT_FALSE(makeNode(NodePayload::group()).subtitle().has_value());
    WorkspaceNode empty(newUuid(), kWorkspace, std::nullopt, WorkspaceNodeKind::file, QStringLiteral("f"), QString(),
                        0, false, std::nullopt, kCreated, kCreated, std::nullopt, nodes[4].payload());
    EXPECT_EQ(empty.subtitle(), QString());

    // A decoded web link without a subtitle key keeps none.
    auto decoded = json::decodeWorkspaceNode(withKey(tab, "subtitle", nullptr));
    ASSERT_TRUE(decoded.ok());
    EXPECT_FALSE(decoded->subtitle().has_value());

    // A decoded subtitle that repeats the address is kept as one text with it;
    // any other stays as written.
    auto same = json::decodeWorkspaceNode(encoded(tab));
    ASSERT_TRUE(same.ok());
    EXPECT_EQ(*same, tab);
    EXPECT_TRUE(same->subtitle()->isSharedWith(same->payload().asChromeTab()->url));
    auto other = json::decodeWorkspaceNode(withKey(tab, "subtitle", "\"Docs\""));
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other->subtitle(), QStringLiteral("Docs"));
}

TEST(WorkspaceNodeJson, NonFiniteSortOrderIsAnEncodingError)
{
    WorkspaceNode node = everyKind(false)[0];
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        node.setSortOrder(bad);
        EXPECT_FALSE(json::encode(node).ok());
        std::string out = "[";
        EXPECT_FALSE(json::appendCompact(out, node).ok());
    }
}

TEST(JsonText, MalformedTextGivesAClearErrorAndNeverAPartialRecord)
{
    const std::string good = encoded(everyKind(true)[3]);
    const std::vector<std::string> bad{
        "",
        "   ",
        good.substr(0, good.size() - 1),
        good + " {}",
        "[" + good + "]",
        "\"just a string\"",
        std::string("{\"id\":\"\xff\xfe\"}"),
        "{\"title\": \"unterminated}",
        "{'single': 'quotes'}",
    };
    for (const auto &text : bad) {
        auto decoded = json::decodeWorkspaceNode(text);
        EXPECT_FALSE(decoded.ok()) << text;
        if (!decoded.ok()) {
            EXPECT_FALSE(decoded.error().reason.isEmpty());
        }
    }
    EXPECT_TRUE(json::decodeWorkspaceNode(" \n" + good + "\n ").ok());
}

TEST(JsonText, DeeplyNestedJunkUnderAnUnknownKeyIsSkippedSafely)
{
    const std::string good = encoded(everyKind(false)[0]);
    const std::size_t depth = 200'000;
    std::string junk = good.substr(0, good.size() - 1) + ",\"junk\":" + std::string(depth, '[') +
                       std::string(depth, ']') + "}";
    EXPECT_TRUE(json::decodeWorkspaceNode(junk).ok());
    std::string unbalanced = good.substr(0, good.size() - 1) + ",\"junk\":" + std::string(depth, '[') + "}";
    EXPECT_FALSE(json::decodeWorkspaceNode(unbalanced).ok());
}

namespace {

TreeExport chainDocument(std::size_t length)
{
    TreeExport document;
    document.exportedAt = kCreated;
    const WorkspaceNode node = everyKind(false)[2];
    document.rootNode = TreeExportNode(newUuid(), node.id(), QStringLiteral("0"), node);
    TreeExportNode *tail = &document.rootNode;
    for (std::size_t i = 1; i < length; ++i) {
        tail->children.emplace_back(newUuid(), node.id(), QString::number(i), node);
        tail = &tail->children.back();
    }
    return document;
}

} // namespace

TEST(TreeExportJson, AChainOfAHundredThousandEntriesRoundTripsWithoutRecursion)
{
    const TreeExport document = chainDocument(100'000);
    EXPECT_EQ(document.rootNode.depth(), 100'000u);
    const TreeExport copy = document; // copy and compare are iterative too
    EXPECT_EQ(copy, document);
    auto text = json::encode(document);
    ASSERT_TRUE(text.ok());
    auto decoded = json::decodeTreeExport(*text, json::kMaxTreeDepth);
    ASSERT_TRUE(decoded.ok()) << decoded.error().description().toStdString();
    EXPECT_EQ(decoded->rootNode.subtreeSize(), 100'000u);
    EXPECT_EQ(*decoded, document);
}

TEST(TreeExportJson, NestingBeyondTheLimitIsRefusedWithTheReason)
{
    const std::string text = *json::encode(chainDocument(101));
    EXPECT_TRUE(json::decodeTreeExport(text, 101).ok());
    auto refused = json::decodeTreeExport(text, 100);
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().reason.contains(QStringLiteral("deeper than 100 levels")))
        << refused.error().description().toStdString();
    // The path of a deep entry is abbreviated, not thousands of segments long.
    EXPECT_LT(refused.error().path.size(), 200);
    EXPECT_TRUE(refused.error().path.startsWith(QStringLiteral("rootNode.children[0]")));
}

TEST(TreeExportJson, DocumentRules)
{
    const WorkspaceNode node = everyKind(false)[1];
    const std::string nodeJson = encoded(node);
    auto entry = [&](const std::string &children, bool withOriginal = true) {
        return "{\"id\":\"" + uuidText(newUuid()) + "\"," +
               (withOriginal ? "\"originalNodeID\":\"" + uuidText(node.id()) + "\"," : std::string()) +
               "\"title\":\"t\",\"node\":" + nodeJson + children + "}";
    };
    auto document = [&](const std::string &root, const std::string &head = "\"schemaVersion\":1,\"app\":\"TarniBar\"") {
        return "{" + head + ",\"exportedAt\":\"2024-03-01T09:30:00Z\",\"rootNode\":" + root + "}";
    };

    auto leaf = json::decodeTreeExport(document(entry(",\"children\":[]")));
    ASSERT_TRUE(leaf.ok()) << leaf.error().description().toStdString();
    EXPECT_TRUE(leaf->rootNode.children.empty());
    EXPECT_EQ(leaf->rootNode.originalNodeID, node.id());

    auto noChildren = json::decodeTreeExport(document(entry("")));
    ASSERT_FALSE(noChildren.ok());
    EXPECT_EQ(noChildren.error().path, QStringLiteral("rootNode.children"));

    auto nested = json::decodeTreeExport(document(entry(",\"children\":[" + entry("") + "]")));
    ASSERT_FALSE(nested.ok());
    EXPECT_EQ(nested.error().path, QStringLiteral("rootNode.children[0].children"));

    // Neither the version nor the producing application is checked.
    auto foreign = json::decodeTreeExport(document(entry(",\"children\":[]", false),
                                                   "\"schemaVersion\":2,\"app\":\"Elsewhere\""));
    ASSERT_TRUE(foreign.ok());
    EXPECT_EQ(foreign->schemaVersion, 2);
    EXPECT_FALSE(foreign->rootNode.originalNodeID.has_value());

    // One bad node anywhere fails the whole document, naming where.
    const std::string brokenNode = withKey(node, "kind", "\"slackChannel\"");
    const std::string brokenEntry = "{\"id\":\"" + uuidText(newUuid()) +
                                    "\",\"title\":\"t\",\"children\":[],\"node\":" + brokenNode + "}";
    auto badNode = json::decodeTreeExport(document(entry(",\"children\":[" + entry(",\"children\":[]") + "," +
                                                         brokenEntry + "]")));
    ASSERT_FALSE(badNode.ok());
    EXPECT_EQ(badNode.error().path, QStringLiteral("rootNode.children[1].node.kind"));
}

TEST(WorkspaceSnapshotJson, RoundTripsAndSelectionIsOptional)
{
    WorkspaceSnapshot snapshot{newUuid(), kWorkspace, QStringLiteral("Morning Snapshot"), 1, kCreated, newUuid(),
                               chainDocument(3).rootNode};
    auto text = json::encode(snapshot);
    ASSERT_TRUE(text.ok());
    auto back = json::decodeWorkspaceSnapshot(*text);
    ASSERT_TRUE(back.ok()) << back.error().description().toStdString();
    EXPECT_EQ(*back, snapshot);

    snapshot.selectedNodeID.reset();
    text = json::encode(snapshot);
    EXPECT_EQ(text->find("selectedNodeID"), std::string::npos);
    back = json::decodeWorkspaceSnapshot(*text);
    ASSERT_TRUE(back.ok());
    EXPECT_FALSE(back->selectedNodeID.has_value());

    // Written in pieces, the same text; a sink that stops gets no more.
    snapshot.rootNode = chainDocument(300).rootNode;
    for (auto style : {json::JsonStyle::compact, json::JsonStyle::pretty}) {
        const auto whole = json::encode(snapshot, style);
        ASSERT_TRUE(whole.ok());
        std::string pieces;
        int count = 0;
        ASSERT_TRUE(json::encodeTo(snapshot, style, [&](std::string_view piece) {
            pieces += piece;
            return ++count > 0;
        }));
        EXPECT_EQ(pieces, *whole);
        EXPECT_GT(count, 1);
        count = 0;
        ASSERT_TRUE(json::encodeTo(snapshot, style, [&](std::string_view) { return ++count > 1; }));
        EXPECT_EQ(count, 1);
    }

    Workspace workspace{kWorkspace, QStringLiteral("Workspace"), kCreated, kCreated + hours{2}};
    auto workspaceBack = json::decodeWorkspace(*json::encode(workspace));
    ASSERT_TRUE(workspaceBack.ok());
    EXPECT_EQ(*workspaceBack, workspace);
}

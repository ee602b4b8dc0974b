#include "TestNodes.h"
#include "archive/TreeArchiveService.h"
#include "archive/TreeExportFile.h"
#include "model/TreeExportReader.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace tarni;
using namespace tarni::testing;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class TreeExportFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    fs::path root() const { return fs::path(dir.path().toStdString()); }

    QTemporaryDir dir;
    TreeArchiveService service{[] { return kTestTime; }};
};

TEST_F(TreeExportFileTest, WriteCreatesTheFolderAndReadsBack)
{
    const fs::path file = root() / "TarniBar/Exports/workspace-export.json";
    const TreeExport document = service.exportWorkspace(groupChain(4));
    ASSERT_TRUE(TreeExportFile::write(document, file));
    EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    auto read = TreeExportFile::read(file);
    ASSERT_TRUE(read) << read.error().description().toStdString();
    EXPECT_EQ(read.value(), document);

    // A byte-order mark in front is skipped.
    const fs::path marked = root() / "marked.json";
    std::ofstream(marked, std::ios::binary) << "\xEF\xBB\xBF" << slurp(file);
    auto readMarked = TreeExportFile::read(marked);
    ASSERT_TRUE(readMarked) << readMarked.error().description().toStdString();
    EXPECT_EQ(readMarked.value(), document);

    // The compact form reads back the same; only its last byte ends a line.
    const fs::path compact = root() / "compact.json";
    ASSERT_TRUE(TreeExportFile::write(document, compact, TreeExportFile::Layout::compact));
    const std::string text = slurp(compact);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_LT(text.size(), slurp(file).size() * 2 / 3);
    EXPECT_EQ(TreeExportFile::read(compact).value(), document);
}

TEST_F(TreeExportFileTest, AFailedExportLeavesThePreviousFileWhole)
{
    const fs::path file = root() / "Exports" / "workspace-export.json";
    ASSERT_TRUE(TreeExportFile::write(service.exportWorkspace(groupChain(2)), file));
    const std::string before = slurp(file);

    NodeList broken = groupChain(2);
    broken[1].setSortOrder(std::numeric_limits<double>::quiet_NaN());
    auto failed = TreeExportFile::write(service.exportWorkspace(broken), file);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().description().indexOf(QStringLiteral("sortOrder")), -1);
    EXPECT_EQ(slurp(file), before);

    // The folder is in the way of the file: nothing is written, and nothing is left behind.
    const fs::path blocked = root() / "blocked" / "workspace-export.json";
    fs::create_directories(blocked);
    EXPECT_FALSE(TreeExportFile::write(service.exportWorkspace(groupChain(2)), blocked));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(file.parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1u);
}

// Quick exports are dated and never replace one another, nor a file the
// user put there under the same name.
TEST_F(TreeExportFileTest, QuickExportsTakeANewDatedNameEachTime)
{
    const QDateTime at(QDate(2026, 12, 8), QTime(14, 3, 22));
    const fs::path folder = root() / "Exports";
    fs::create_directories(folder);
    std::ofstream(folder / "workspace-export 2026-12-08 14.03.22.json") << "the user's own";

    const TreeExport first = service.exportWorkspace(groupChain(2));
    auto written = TreeExportFile::writeNew(first, folder, at);
    ASSERT_TRUE(written) << written.error().description().toStdString();
    EXPECT_EQ(written->filename(), "workspace-export 2026-12-08 14.03.22-2.json");
    auto again = TreeExportFile::writeNew(service.exportWorkspace(groupChain(3)), folder, at);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->filename(), "workspace-export 2026-12-08 14.03.22-3.json");

    EXPECT_EQ(slurp(folder / "workspace-export 2026-12-08 14.03.22.json"), "the user's own");
    EXPECT_EQ(TreeExportFile::read(*written).value(), first);
    EXPECT_EQ(fs::status(*again).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(folder))
        ++entries;
    EXPECT_EQ(entries, 3u) << "no temporary file is left";
}

TEST_F(TreeExportFileTest, BadFilesAreRefusedWithAReason)
{
    struct Case {
        const char *name;
        std::string content;
        const char *mentions;
    };
    std::string valid = TreeExportFile::encode(service.exportWorkspace(groupChain(2))).value();
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string text = valid;
        return text.replace(text.find(from), from.size(), to);
    };
    const Case cases[] = {
        {"malformed", "{\"app\": ", "/malformed\" is not a JSON document: invalid at byte 8"},
        {"notJson", "hello", "is not a JSON document: invalid at byte 0"},
        {"empty", "", "is not a JSON document: there is no text"},
        {"newerSchema", replaced("\"schemaVersion\": 1", "\"schemaVersion\": 999"),
         "This file was made by a newer version of TarniBar (schema 999)"},
        {"kindAgainstPayload", replaced("\"kind\": \"group\"", "\"kind\": \"webLink\""),
         "node.payload\": a \"group\" payload does not fit a node of kind \"webLink\""},
        {"wrongShape", "[1, 2, 3]", "not an export document"},
        {"missingChildren", "{\"app\":\"x\",\"schemaVersion\":2,\"exportedAt\":\"2024-01-01T00:00:00Z\",\"rootNode\":{}}",
         "required key"},
        // The file is read in pieces; what is refused is one absurd value.
        {"hugeValue", "{\"app\":\"" + std::string(json::kMaxImportValueBytes, 'a') + "\"}",
         "hugeValue\" is not an export document: \"app\": the value is larger than 16777216 bytes"},
    };
    for (const auto &c : cases) {
        const fs::path file = root() / c.name;
        std::ofstream(file, std::ios::binary) << c.content;
        auto read = TreeExportFile::read(file);
        ASSERT_FALSE(read) << c.name;
        EXPECT_NE(read.error().description().indexOf(QString::fromUtf8(c.mentions)), -1)
            << c.name << ": " << read.error().description().toStdString();
    }
    auto missing = TreeExportFile::read(root() / "absent.json");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().description().indexOf(QStringLiteral("absent.json\": no such file")), -1);

    // Neither a FIFO (which would block a plain open) nor a folder is read.
    const fs::path fifo = root() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const fs::path &special : {fifo, root()}) {
        auto refused = TreeExportFile::read(special);
        ASSERT_FALSE(refused);
        EXPECT_TRUE(refused.error().description().endsWith(QStringLiteral(": not a regular file")))
            << refused.error().description().toStdString();
    }
}

// The indentation of a deep chain stops growing, so the file grows with the
// node count, not with its square. Reading it back is an import, refused
// below the import limit.
TEST_F(TreeExportFileTest, DeepChainsKeepTheirIndentationBounded)
{
    constexpr int kDepth = 100'000;
    const NodeList chain = groupChain(kDepth);
    auto document = service.exportSubtree(chain[0].id(), chain);
    ASSERT_TRUE(document);
    auto text = TreeExportFile::encode(*document);
    ASSERT_TRUE(text);

    std::size_t widest = 0, lines = 0;
    std::size_t pos = 0;
    while (pos < text->size()) {
        const std::size_t end = text->find('\n', pos);
        const std::size_t indent = text->find_first_not_of(' ', pos) - pos;
        widest = std::max(widest, indent);
        ++lines;
        pos = end == std::string::npos ? text->size() : end + 1;
    }
    EXPECT_EQ(widest, TreeExportFile::kMaxIndentLevels * TreeExportFile::kIndentWidth);
    // Quadratic growth would be about 10^11 bytes here.
    EXPECT_LT(text->size(), std::size_t(kDepth) * 3000);

    const fs::path file = root() / "deep.json";
    ASSERT_TRUE(TreeExportFile::write(*document, file));
    auto read = TreeExportFile::read(file);
    ASSERT_FALSE(read);
    EXPECT_TRUE(read.error().description().contains(QStringLiteral("deeper than %1 levels").arg(kMaxImportDepth)))
        << read.error().description().toStdString();
}

} // namespace

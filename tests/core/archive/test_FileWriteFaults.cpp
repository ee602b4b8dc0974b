// Files that others read (the export, the queue files between the application
// and the native host) written while the disk fails: the failure is reported,
// and no reader ever finds a partly written file.

#include "TestNodes.h"
#include "archive/TreeArchiveService.h"
#include "archive/TreeExportFile.h"
#include "common/AtomicFile.h"
#include "common/NativeHostQueue.h"
#include "interop/InteropFormat.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

using namespace tarni;
namespace fs = std::filesystem;

namespace {

struct Plan {
    AtomicWriteStep step = AtomicWriteStep::create;
    int error = 0;
    int writesBefore = 0; // writes that go through, each with only a few bytes
} g_plan;

int injectFault(AtomicWriteStep step, std::size_t *length)
{
    if (step != g_plan.step)
        return 0;
    if (step == AtomicWriteStep::write && g_plan.writesBefore > 0) {
        --g_plan.writesBefore;
        *length = std::min<std::size_t>(*length, 7);
        return 0;
    }
    return g_plan.error;
}

std::string contents(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class FileWriteFaultTest : public ::testing::Test {
protected:
    void SetUp() override { setAtomicWriteFaultHookForTesting(injectFault); }
    void TearDown() override { setAtomicWriteFaultHookForTesting(nullptr); }

    fs::path folder() const { return fs::path(dir.path().toStdString()); }

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(folder()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    QTemporaryDir dir;
};

TEST_F(FileWriteFaultTest, AFailedWriteReportsWhyAndLeavesTheOldFileOrNone)
{
    const std::string oldBytes = "{\"id\":\"old\"}";
    const std::string newBytes(64 * 1024, 'n');
    const struct {
        AtomicWriteStep step;
        int writesBefore;
    } points[] = {{AtomicWriteStep::create, 0}, {AtomicWriteStep::write, 0}, {AtomicWriteStep::write, 3},
                  {AtomicWriteStep::sync, 0},   {AtomicWriteStep::close, 0}, {AtomicWriteStep::rename, 0}};
    const fs::path file = folder() / queueFileName("0F6C9E3A-9D57-4C39-9B0B-0C6D4B1B5A10");
    for (const auto &point : points) {
        for (int error : {ENOSPC, EIO}) {
            for (bool existed : {true, false}) {
                SCOPED_TRACE(::testing::Message() << "step " << int(point.step) << " after " << point.writesBefore
                                                  << " writes, " << std::strerror(error)
                                                  << (existed ? ", replacing a file" : ", new file"));
                fs::remove(file);
                if (existed) {
                    setAtomicWriteFaultHookForTesting(nullptr);
                    ASSERT_TRUE(writeFileAtomically(file, oldBytes));
                    setAtomicWriteFaultHookForTesting(injectFault);
                }
                g_plan = Plan{point.step, error, point.writesBefore};
                std::string why;
                EXPECT_FALSE(writeFileAtomically(file, newBytes, &why));
                EXPECT_NE(why.find(std::strerror(error)), std::string::npos) << why;
                EXPECT_NE(why.find(file.string()), std::string::npos) << why;
                // Not even a temporary file is left for anyone to find.
                EXPECT_EQ(entries(), existed ? std::vector<std::string>{file.filename().string()}
                                             : std::vector<std::string>{});
                if (existed) {
                    EXPECT_EQ(contents(file), oldBytes);
                }
            }
        }
    }
    // The same writer with the disk well again.
    g_plan = Plan{};
    EXPECT_TRUE(writeFileAtomically(file, newBytes));
    EXPECT_EQ(contents(file), newBytes);
}

TEST_F(FileWriteFaultTest, AFailedExportSaysSoAndKeepsThePreviousExport)
{
    TreeArchiveService archive;
    const NodeList nodes = tarni::testing::groupChain(3);
    const TreeExport document = archive.exportWorkspace(nodes);
    const fs::path exportFile = folder() / kExportFileName;
    const fs::path bookmarks = folder() / "bookmarks.html";
    ASSERT_TRUE(TreeExportFile::write(document, exportFile));
    ASSERT_TRUE(exportInteropFile(document, InteropFormat::bookmarks, bookmarks));
    const std::string previousExport = contents(exportFile);
    const std::string previousBookmarks = contents(bookmarks);

    const NodeList more = tarni::testing::groupChain(6);
    for (AtomicWriteStep step : {AtomicWriteStep::write, AtomicWriteStep::sync, AtomicWriteStep::rename}) {
        g_plan = Plan{step, ENOSPC, step == AtomicWriteStep::write ? 1 : 0};
        auto written = TreeExportFile::write(archive.exportWorkspace(more), exportFile);
        ASSERT_FALSE(written);
        EXPECT_TRUE(written.error().description().contains(QString::fromUtf8(std::strerror(ENOSPC))));
        g_plan = Plan{step, ENOSPC, step == AtomicWriteStep::write ? 1 : 0};
        EXPECT_FALSE(exportInteropFile(archive.exportWorkspace(more), InteropFormat::bookmarks, bookmarks));
        EXPECT_EQ(contents(exportFile), previousExport);
        EXPECT_EQ(contents(bookmarks), previousBookmarks);
        EXPECT_EQ(entries().size(), 2u);
    }
}

} // namespace

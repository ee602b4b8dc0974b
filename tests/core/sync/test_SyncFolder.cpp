// Only our own names are read from the shared folder, and every file of ours
// appears there whole, once.

#include "common/AtomicFile.h"
#include "sync/SyncFolder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace tarni;
using namespace tarni::sync;
namespace fs = std::filesystem;

namespace {

const QUuid kDevice = QUuid::fromString(QStringLiteral("{0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b}"));
constexpr const char *kId = "0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b";

std::string contents(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(SyncFolder, OnlyTheExactNamesOfOurFilesAreNames)
{
    const std::string id = kId;
    const FolderFileName names[] = {{FolderFileKind::changes, kDevice, 1},
                                    {FolderFileKind::changes, kDevice, 999'999'999'999'999},
                                    {FolderFileKind::device, kDevice, 0},
                                    {FolderFileKind::snapshot, kDevice, 20}};
    for (const FolderFileName &name : names)
        EXPECT_EQ(FolderFileName::parse(name.relativePath()), name) << name.relativePath();
    EXPECT_EQ(names[0].relativePath(), "changes/" + id + "/1.tbchanges");
    EXPECT_EQ(names[2].relativePath(), "devices/" + id + ".json");

    const std::string refused[] = {
        "",
        "changes/" + id + "/01.tbchanges",
        "changes/" + id + "/1000000000000000.tbchanges",
        "changes/" + id + "/1.tbchanges.tmp",
        "changes/" + id + "/.1.tbchanges.a1B2c3.tmp",
        "changes/" + id + "/.syncthing.1.tbchanges.tmp",
        "changes/" + id + "/1.sync-conflict-20240101-120000-ABCDEFG.tbchanges",
        "changes/" + id + "/../1.tbchanges",
        "changes/../" + id + "/1.tbchanges",
        "/changes/" + id + "/1.tbchanges",
        "changes/0A5E6F3C-1D2B-4C8E-9F70-6B1D2E3F4A5B/1.tbchanges",
        "changes/{" + id + "}/1.tbchanges",
        "changes/00000000-0000-0000-0000-000000000000/1.tbchanges",
        "devices/" + id + ".sync-conflict-20240101-120000-ABCDEFG.json",
        "snapshots/" + id + "/1.tbchanges",
        "snapshots/" + id + "/1.tbsnapshot\n",
        std::string("changes/") + id + "/1.tbchanges" + '\0',
    };
    for (const std::string &path : refused)
        EXPECT_EQ(FolderFileName::parse(path), std::nullopt) << path;
}

// What the folder holds while a write is under way, seen from the step
// before its rename.
std::vector<std::string> g_seenBeforeRename;
fs::path g_watched;

int listBeforeRename(AtomicWriteStep step, std::size_t *)
{
    if (step == AtomicWriteStep::rename) {
        for (const auto &entry : fs::directory_iterator(g_watched))
            g_seenBeforeRename.push_back(entry.path().filename().string());
    }
    return 0;
}

TEST(SyncFolder, FilesAreWrittenWholeAndChangeFilesOnlyOnce)
{
    QTemporaryDir dir;
    const fs::path folder = dir.path().toStdString();
    const FolderFileName change{FolderFileKind::changes, kDevice, 7};
    const FolderFileName device{FolderFileKind::device, kDevice, 0};
    g_watched = folder / "changes" / kId;
    g_seenBeforeRename.clear();
    setAtomicWriteFaultHookForTesting(listBeforeRename);
    std::string error;
    const bool written = writeFolderFile(folder, change, "first", &error);
    setAtomicWriteFaultHookForTesting(nullptr);
    ASSERT_TRUE(written) << error;
    // The temporary file is a hidden ".tmp" that no reader takes for ours.
    ASSERT_EQ(g_seenBeforeRename.size(), 1u);
    const std::string &temporary = g_seenBeforeRename[0];
    EXPECT_TRUE(temporary.starts_with(".7.tbchanges.") && temporary.ends_with(".tmp")) << temporary;

    EXPECT_FALSE(writeFolderFile(folder, change, "second", &error));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(contents(folder / change.relativePath()), "first");
    EXPECT_EQ(fs::status(g_watched).permissions() & fs::perms::all, fs::perms::owner_all);

    ASSERT_TRUE(writeFolderFile(folder, device, "{\"v\":1}", &error)) << error;
    ASSERT_TRUE(writeFolderFile(folder, device, "{\"v\":2}", &error)) << error;
    EXPECT_EQ(contents(folder / device.relativePath()), "{\"v\":2}");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "devices"), fs::directory_iterator()), 1);

    // A link where our folder should be is not followed.
    const fs::path elsewhere = folder / "elsewhere";
    fs::create_directory(elsewhere);
    fs::create_directory(folder / "snapshots");
    fs::create_directory_symlink(elsewhere, folder / "snapshots" / kId);
    EXPECT_FALSE(writeFolderFile(folder, {FolderFileKind::snapshot, kDevice, 1}, "x", &error));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

} // namespace

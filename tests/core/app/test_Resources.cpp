// Where an executable finds its resources and the native host, in an
// installed or unpacked tree and in a build directory.

#include "app/Resources.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>

using namespace tarni;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path &file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

} // namespace

TEST(Resources, AnUnpackedTreeIsFoundFromItsOwnBinFolderWhereverItLies)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    // A tarball unpacked below a folder whose name has spaces and non-ASCII letters.
    const fs::path prefix = fs::path(scratch.path().toStdString()) / "Mes programmes é" / "tarnibar-1.0-Linux";
    touch(prefix / "bin" / "tarnibar");
    touch(prefix / "share" / "tarnibar" / "Localization-en.json");
    touch(prefix / "lib" / "tarnibar" / "TarniBarChromeHost");

    EXPECT_EQ(resourceDirectoryFor(prefix / "bin"), prefix / "share" / "tarnibar");
    EXPECT_EQ(nativeHostProgramFor(prefix / "bin"), prefix / "lib" / "tarnibar" / "TarniBarChromeHost");
    // A trailing separator names the same folder.
    EXPECT_EQ(nativeHostProgramFor(prefix / "bin" / ""), prefix / "lib" / "tarnibar" / "TarniBarChromeHost");
}

TEST(Resources, ABuildDirectoryFallsBackToTheSourceTreeAndTheHostsBuildFolder)
{
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const fs::path build = fs::path(scratch.path().toStdString()) / "build" / "src";
    touch(build / "app" / "tarnibar");
    EXPECT_EQ(resourceDirectoryFor(build / "app"), fs::path(TARNI_SOURCE_RESOURCES));
    // Nothing built yet: the installed place, which the caller reports as missing.
    EXPECT_EQ(nativeHostProgramFor(build / "app"), build / "lib" / "tarnibar" / "TarniBarChromeHost");

    touch(build / "host" / "TarniBarChromeHost");
    EXPECT_EQ(nativeHostProgramFor(build / "app"), build / "host" / "TarniBarChromeHost");
    // A folder of that name is not a program.
    fs::create_directories(build / "lib" / "tarnibar" / "TarniBarChromeHost");
    EXPECT_EQ(nativeHostProgramFor(build / "app"), build / "host" / "TarniBarChromeHost");
}

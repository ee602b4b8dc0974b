// Which hosts run: the real host announces itself for as long as its input
// lasts, and a host that was killed is recognised as gone.

#include "HostProcess.h"

#include "common/NativeHostPresence.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tarni;
using namespace tarni::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(NativeHostPresence, TheHostIsLiveUntilItsInputEnds)
{
    ScratchDirectory scratch;
    const fs::path dir = nativeHostsDirectory(scratch.path() / "TarniBar");
    HostProcess host(TARNI_HOST_PROGRAM, {"XDG_DATA_HOME=" + scratch.path().string()});
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(waitUntil([&] { return liveNativeHosts(dir).size() == 1; })) << host.standardError();
    EXPECT_EQ(permissions(dir), 0700u);
    EXPECT_EQ(fileNames(dir), liveNativeHosts(dir)) << "a live host's file stays";

    host.closeInput();
    ASSERT_EQ(host.waitForExit(5s), 0) << host.standardError();
    EXPECT_EQ(fileNames(dir), std::vector<std::string>{});
}

TEST(NativeHostPresence, AKilledHostIsGoneAndItsFileRemoved)
{
    ScratchDirectory scratch;
    const fs::path dir = scratch.path() / "NativeHosts";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto presence = NativeHostPresence::announce(dir);
        const char byte = presence ? '1' : '0';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(byte, '1');
    EXPECT_EQ(liveNativeHosts(dir).size(), 1u);

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_EQ(fileNames(dir).size(), 1u) << "nothing ran to remove it";
    EXPECT_EQ(liveNativeHosts(dir), std::vector<std::string>{});
    EXPECT_EQ(fileNames(dir), std::vector<std::string>{});
}

TEST(NativeHostPresence, OnlyHeldAnnouncementsCount)
{
    ScratchDirectory scratch;
    const fs::path dir = scratch.path() / "NativeHosts";
    auto own = NativeHostPresence::announce(dir);
    ASSERT_TRUE(own);
    // A folder and a FIFO are no hosts and not ours to remove; a young dot
    // file may be a host about to lock it.
    fs::create_directory(dir / "folder");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    writeFile(dir / ".1-announcing", "");
    EXPECT_EQ(liveNativeHosts(dir), std::vector<std::string>{own->file().filename().string()});
    EXPECT_EQ(fileNames(dir).size(), 3u);
    EXPECT_TRUE(fs::exists(dir / ".1-announcing"));

    own.reset();
    EXPECT_EQ(liveNativeHosts(dir), std::vector<std::string>{});
    EXPECT_EQ(fileNames(dir).size(), 2u);
}

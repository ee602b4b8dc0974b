#include "common/NativeHostPresence.h"

#include "common/DataRoot.h"
#include "common/NativeHostQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarni {

namespace fs = std::filesystem;

// A host killed between creating its file and renaming it into place leaves
// the dot file; one this old is no announcement in the making.
constexpr std::time_t kAbandonedAnnouncementAge = 60;

fs::path nativeHostsDirectory(const fs::path &root)
{
    return root / kNativeHostsDirName;
}

std::unique_ptr<NativeHostPresence> NativeHostPresence::announce(const fs::path &dir, std::string *error)
{
    auto fail = [&](const std::string &what) {
        if (error)
            *error = what + ": " + std::strerror(errno);
        return nullptr;
    };
    // The data root first: made as a missing parent it would not be private.
    if (!ensurePrivateDirectory(dir.parent_path(), error) || !ensurePrivateDirectory(dir, error))
        return nullptr;
    const std::string name = std::to_string(::getpid()) + "-" + randomUuidText();
    const fs::path temporary = dir / ("." + name);
    const fs::path file = dir / name;
    // Close-on-exec: an application the host starts must not inherit the lock
    // and keep a gone host alive.
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail("cannot create \"" + temporary.string() + "\"");
    if (::flock(fd, LOCK_EX) != 0 || ::rename(temporary.c_str(), file.c_str()) != 0) {
        auto failure = fail("cannot announce \"" + file.string() + "\"");
        ::unlink(temporary.c_str());
        ::close(fd);
        return failure;
    }
    return std::unique_ptr<NativeHostPresence>(new NativeHostPresence(file, fd));
}

NativeHostPresence::~NativeHostPresence()
{
    // Removed while still locked: no reader sees it unlocked first.
    ::unlink(m_file.c_str());
    ::close(m_fd);
}

namespace {

// Whether the entry's lock is held; an entry whose lock is free is removed.
bool isHeld(const fs::path &path, bool announcement)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    bool held = false;
    // A young dot file is not even tried: its host may be about to lock it.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        (announcement || std::time(nullptr) - st.st_mtime > kAbandonedAnnouncementAge)) {
        held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (!held)
            ::unlink(path.c_str());
    }
    ::close(fd);
    return held;
}

} // namespace

std::vector<std::string> liveNativeHosts(const fs::path &dir)
{
    std::vector<std::string> live;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool announcement = !name.empty() && name.front() != '.';
        if (isHeld(it->path(), announcement) && announcement)
            live.push_back(name);
    }
    std::sort(live.begin(), live.end());
    return live;
}

} // namespace tarni

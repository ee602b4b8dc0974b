#include "common/InstanceLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace tarni {

InstanceLock::~InstanceLock()
{
    release();
}

InstanceLock::InstanceLock(InstanceLock &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{
}

InstanceLock &InstanceLock::operator=(InstanceLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

namespace {

constexpr const char *kApplicationWord = "application";
constexpr const char *kCommandLineToolWord = "tarnibar-cli";

// Whether process `pid` holds a flock(2) on the file open as `fd`, as
// /proc/locks says: "1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF",
// with "->" after the number for a process still waiting.
bool holdsLock(long pid, int fd)
{
    struct stat file {};
    if (pid <= 0 || ::fstat(fd, &file) != 0)
        return false;
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", ::major(file.st_dev), ::minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    const std::string owner = std::to_string(pid);
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, advisory, access, holder, where;
        fields >> number >> kind >> advisory >> access >> holder >> where;
        if (kind == "FLOCK" && holder == owner && where == device)
            return true;
    }
    return false;
}

} // namespace

bool InstanceLock::tryAcquire(const std::filesystem::path &root, std::string *error, Holder as)
{
    release();
    m_contended = false;
    const auto path = root / kInstanceLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = "cannot open \"" + path.string() + "\": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_contended = errno == EWOULDBLOCK;
        if (error)
            *error = errno == EWOULDBLOCK ? "another TarniBar instance is running on \"" + root.string() + "\""
                                          : "cannot lock \"" + path.string() + "\": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    const std::string who = std::string(as == Holder::commandLineTool ? kCommandLineToolWord : kApplicationWord) +
        " " + std::to_string(::getpid()) + "\n";
    // Only informative: a failed write leaves the holder unknown.
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, who.data(), who.size(), 0) < 0)
        (void)::ftruncate(fd, 0);
    return true;
}

void InstanceLock::release()
{
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
    }
}

bool InstanceLock::isHeldByAnyone(const std::filesystem::path &root)
{
    const auto path = root / kInstanceLockName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // no lock file: nobody has ever run here
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

std::optional<InstanceLock::HolderInfo> InstanceLock::currentHolder(const std::filesystem::path &root)
{
    const auto path = root / kInstanceLockName;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) {
        ::close(fd);
        return std::nullopt;
    }
    char buffer[64] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    HolderInfo info;
    if (n <= 0)
        return info;
    const std::string text(buffer, std::size_t(n));
    const auto space = text.find(' ');
    const std::string word = text.substr(0, space);
    const long pid = space == std::string::npos ? 0 : std::strtol(text.c_str() + space + 1, nullptr, 10);
    // The record counts only when it names the process that holds the lock:
    // a stale one, left by an earlier holder under another program's lock,
    // would blame a process that is gone or has nothing to do with it.
    if (!holdsLock(pid, fd))
        return info;
    if (word == kApplicationWord)
        info.holder = Holder::application;
    else if (word == kCommandLineToolWord)
        info.holder = Holder::commandLineTool;
    else
        return info;
    info.pid = pid;
    return info;
}

} // namespace tarni

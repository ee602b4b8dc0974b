#include "common/InstanceLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
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

bool InstanceLock::tryAcquire(const std::filesystem::path &root, std::string *error)
{
    release();
    const auto path = root / kInstanceLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = "cannot open \"" + path.string() + "\": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (error)
            *error = errno == EWOULDBLOCK ? "another TarniBar instance is running on \"" + root.string() + "\""
                                          : "cannot lock \"" + path.string() + "\": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
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

} // namespace tarni

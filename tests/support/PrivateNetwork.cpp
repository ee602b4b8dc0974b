#include "PrivateNetwork.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarni::test {

namespace {

bool failed(std::string *error, const std::string &what)
{
    *error = what + ": " + std::strerror(errno);
    return false;
}

bool writeProcFile(const char *path, const std::string &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return written;
}

} // namespace

bool enterPrivateNetwork(std::string *error)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWNET) != 0) {
        if (errno != EPERM)
            return failed(error, "unshare(CLONE_NEWNET)");
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return failed(error, "unshare(CLONE_NEWUSER | CLONE_NEWNET) without root");
        // The same ids inside, so that files keep their owner.
        if (!writeProcFile("/proc/self/setgroups", "deny") ||
            !writeProcFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
            !writeProcFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
            return failed(error, "mapping the user namespace's ids");
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return failed(error, "socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    const int ioctlError = errno;
    ::close(fd);
    errno = ioctlError;
    return up || failed(error, "bringing up lo");
}

} // namespace tarni::test

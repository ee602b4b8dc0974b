#include "common/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarni {

static AtomicWriteFaultHook g_faultHook = nullptr;

void setAtomicWriteFaultHookForTesting(AtomicWriteFaultHook hook)
{
    g_faultHook = hook;
}

// Whether a test makes this step fail; sets errno when it does.
static bool injected(AtomicWriteStep step, std::size_t *length = nullptr)
{
    std::size_t ignored = 0;
    const int code = g_faultHook ? g_faultHook(step, length ? length : &ignored) : 0;
    if (code)
        errno = code;
    return code != 0;
}

static bool fail(std::string *error, const std::string &what, const std::filesystem::path &path)
{
    if (error)
        *error = what + " \"" + path.string() + "\": " + std::strerror(errno);
    return false;
}

// Moves `temp` to `path` unless `path` exists (errno EEXIST then), also
// against another writer taking the name meanwhile. Not every file system
// has the atomic no-replace rename, nor hard links (FAT, some network
// shares): the last resort checks first.
static bool placeWithoutReplacing(const std::string &temp, const std::filesystem::path &path)
{
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    if (::link(temp.c_str(), path.c_str()) == 0) {
        ::unlink(temp.c_str());
        return true;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP)
        return false;
    if (::access(path.c_str(), F_OK) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(temp.c_str(), path.c_str()) == 0;
}

// File systems that cannot sync a folder (some network and FUSE mounts) say
// so with EINVAL, and a folder we may write but not read cannot be opened to
// sync it; there is nothing more to do then.
static bool syncFolder(const std::filesystem::path &folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES;
    const bool synced = !injected(AtomicWriteStep::syncFolder) && ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return synced || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
}

bool writeFileAtomically(const std::filesystem::path &path, std::string_view bytes, std::string *error,
                         unsigned mode, ExistingFile existing)
{
    // ".<name>.<random>.tmp": hidden, and of a form that folder-sync engines
    // and our own folder readers pass over.
    std::string temp = (path.parent_path() / ("." + path.filename().native() + ".XXXXXX.tmp")).string();
    const int fd = injected(AtomicWriteStep::create) ? -1 : ::mkstemps(temp.data(), 4);
    if (fd < 0)
        return fail(error, "cannot create a temporary file for", path);

    auto abandon = [&](const char *what) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return fail(error, what, path);
    };

    if (::fchmod(fd, mode) != 0)
        return abandon("cannot set permissions of");
    const char *data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        std::size_t length = left;
        const ssize_t n = injected(AtomicWriteStep::write, &length) ? -1 : ::write(fd, data, std::min(length, left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return abandon("cannot write");
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (injected(AtomicWriteStep::sync) || ::fsync(fd) != 0)
        return abandon("cannot flush");
    if (injected(AtomicWriteStep::close) ? (::close(fd), true) : ::close(fd) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail(error, "cannot close", path);
    }
    const bool placed = !injected(AtomicWriteStep::rename) &&
        (existing == ExistingFile::replace ? ::rename(temp.c_str(), path.c_str()) == 0
                                           : placeWithoutReplacing(temp, path));
    if (!placed) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail(error, existing == ExistingFile::replace ? "cannot replace" : "cannot create", path);
    }
    // The rename is an entry of the folder: until the folder is synced too,
    // a crash may leave the old file, or none, in its place.
    if (!syncFolder(path.parent_path()))
        return fail(error, "the file is in place, but cannot flush the folder of", path);
    return true;
}

} // namespace tarni

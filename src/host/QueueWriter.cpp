#include "QueueWriter.h"

#include "common/NativeHostQueue.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace tarni::host {

namespace fs = std::filesystem;

QueueWriter::QueueWriter(fs::path dir)
    : m_dir(std::move(dir))
{
}

QueueWriter::~QueueWriter()
{
    for (Staged &staged : m_staged)
        discard(staged);
    if (m_batchFd >= 0)
        ::close(m_batchFd);
}

std::uint64_t QueueWriter::nextStamp()
{
    // Wall-clock time, so that the names of several hosts on one data root
    // interleave in arrival order too; never repeated within one host.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t stamp = std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
    m_lastStamp = std::max(stamp, m_lastStamp + 1);
    return m_lastStamp;
}

void QueueWriter::discard(Staged &staged)
{
    if (staged.fd >= 0)
        ::close(staged.fd);
    staged.fd = -1;
    if (!staged.temporary.empty())
        ::unlink(staged.temporary.c_str());
    staged.temporary.clear();
}

bool QueueWriter::stage(std::string_view identifierText, std::string_view body, std::string *error)
{
    if (m_batchFd < 0) {
        m_batchFd = ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_batchFd < 0) {
            if (error)
                *error = "cannot open \"" + m_dir.native() + "\": " + std::strerror(errno);
            return false;
        }
    }
    Staged staged;
    staged.stamp = nextStamp();
    staged.id = identifierText;
    const fs::path target = m_dir / queuedMessageFileName(staged.stamp, staged.id);
    // A leading dot: the application skips it until it is renamed.
    staged.temporary = (m_dir / ("." + target.filename().native() + ".XXXXXX")).native();
    // mkostemp creates it private to the user (0600).
    staged.fd = ::mkostemp(staged.temporary.data(), O_CLOEXEC);
    if (staged.fd < 0) {
        if (error)
            *error = "cannot create a temporary file for \"" + target.native() + "\": " + std::strerror(errno);
        return false;
    }
    for (std::size_t done = 0; done < body.size();) {
        const ssize_t n = ::write(staged.fd, body.data() + done, body.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = "cannot write \"" + staged.temporary + "\": " + std::strerror(n < 0 ? errno : ENOSPC);
            discard(staged);
            return false;
        }
        done += std::size_t(n);
    }
    m_stagedBytes += body.size();
    m_staged.push_back(std::move(staged));
    return true;
}

bool QueueWriter::fileUnderFreeName(Staged &staged, std::string *error)
{
    // Taken only when another host stamped the same identifier in the same
    // nanosecond; the next stamp then keeps both files.
    for (int attempt = 0; attempt < 100; ++attempt, ++staged.stamp) {
        const fs::path target = m_dir / queuedMessageFileName(staged.stamp, staged.id);
        int rc = ::renameat2(AT_FDCWD, staged.temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: link(2) refuses a taken name as well.
            rc = ::link(staged.temporary.c_str(), target.c_str());
            if (rc == 0)
                ::unlink(staged.temporary.c_str());
        }
        if (rc == 0) {
            staged.temporary.clear();
            return true;
        }
        if (errno != EEXIST) {
            if (error)
                *error = "cannot file \"" + target.native() + "\": " + std::strerror(errno);
            return false;
        }
    }
    if (error)
        *error = "cannot file a message for " + staged.id + ": every name tried is taken";
    return false;
}

// Up to this many files are flushed one by one; beyond, one flush of the
// whole file system is cheaper (each file's flush waits for a journal commit
// of its own), though it also writes out other programs' pending data.
static constexpr std::size_t kFilesFlushedOneByOne = 4;

std::vector<bool> QueueWriter::commit(std::vector<std::string> &errors)
{
    std::vector<bool> filed(m_staged.size(), false);
    if (m_staged.empty())
        return filed;
    // A message whose flush failed is filed all the same: lost for sure is
    // worse than lost in a power cut. Only the report says so.
    const auto notFlushed = [&](const std::string &what) {
        errors.push_back("cannot flush " + what + " to disk (" + std::strerror(errno) +
                         "); filed all the same, but a power cut may lose it");
    };
    if (m_staged.size() > kFilesFlushedOneByOne) {
        // Reports write-back errors since m_batchFd was opened, i.e. of this batch.
        if (::syncfs(m_batchFd) != 0)
            notFlushed(std::to_string(m_staged.size()) + " messages in \"" + m_dir.native() + "\"");
    } else {
        for (const Staged &staged : m_staged) {
            if (::fdatasync(staged.fd) != 0)
                notFlushed("\"" + staged.temporary + "\"");
        }
    }
    for (std::size_t i = 0; i < m_staged.size(); ++i) {
        Staged &staged = m_staged[i];
        ::close(std::exchange(staged.fd, -1));
        std::string error;
        if (!fileUnderFreeName(staged, &error)) {
            errors.push_back(error);
            discard(staged);
            continue;
        }
        filed[i] = true;
    }
    m_staged.clear();
    m_stagedBytes = 0;
    // The renames survive a power cut only once the folder is on disk.
    if (std::find(filed.begin(), filed.end(), true) != filed.end() && ::fsync(m_batchFd) != 0)
        notFlushed("the folder \"" + m_dir.native() + "\"");
    ::close(std::exchange(m_batchFd, -1));
    return filed;
}

} // namespace tarni::host

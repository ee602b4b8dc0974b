#include "common/NativeMessagingFrame.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <poll.h>
#include <utility>
#include <sys/uio.h>
#include <unistd.h>

namespace tarni {

void encodeFrameLength(std::uint32_t length, char out[kFrameHeaderLength])
{
    for (std::size_t i = 0; i < kFrameHeaderLength; ++i)
        out[i] = static_cast<char>((length >> (8 * i)) & 0xff);
}

std::uint32_t decodeFrameLength(const char in[kFrameHeaderLength])
{
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < kFrameHeaderLength; ++i)
        length |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return length;
}

// How much of a body is read before the buffer grows again (then it doubles).
static constexpr std::size_t kFrameReadChunk = 64 * 1024;

// Calls the hook, once, when nothing is readable on `fd` right now.
static void noticeWaiting(int fd, const std::function<void()> *&beforeWaiting)
{
    if (!beforeWaiting || !*beforeWaiting)
        return;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) != 0)
        return;
    const std::function<void()> *hook = std::exchange(beforeWaiting, nullptr);
    (*hook)();
}

// Reads until `size` bytes are in or the stream ends; returns how many were read, or -1.
static ssize_t readFully(int fd, char *data, std::size_t size, const std::function<void()> *&beforeWaiting)
{
    std::size_t got = 0;
    while (got < size) {
        noticeWaiting(fd, beforeWaiting);
        const ssize_t n = ::read(fd, data + got, size - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

FrameReadResult readFrame(int fd, std::string &body, std::uint32_t maxLength,
                          const std::function<void()> &beforeWaiting)
{
    FrameReadResult result;
    body.clear();
    const std::function<void()> *hook = &beforeWaiting;
    char header[kFrameHeaderLength];
    const ssize_t headerRead = readFully(fd, header, kFrameHeaderLength, hook);
    if (headerRead < 0) {
        result.status = FrameReadResult::Status::readError;
        result.error = std::string("cannot read standard input: ") + std::strerror(errno);
        return result;
    }
    if (headerRead < static_cast<ssize_t>(kFrameHeaderLength)) {
        result.status = FrameReadResult::Status::endOfInput;
        return result;
    }
    result.declaredLength = decodeFrameLength(header);
    if (result.declaredLength > maxLength) {
        result.status = FrameReadResult::Status::tooLarge;
        result.error = "an inbound message announces " + std::to_string(result.declaredLength) +
                       " bytes, more than the limit of " + std::to_string(maxLength);
        return result;
    }
    // The buffer grows with the bytes that actually arrive: a header alone
    // must not make us hold the 64 MiB it may announce.
    std::size_t got = 0;
    while (got < result.declaredLength) {
        const std::size_t step = std::min<std::size_t>(result.declaredLength - got, std::max(kFrameReadChunk, got));
        body.resize(got + step);
        const ssize_t n = readFully(fd, body.data() + got, step, hook);
        if (n < 0) {
            result.status = FrameReadResult::Status::readError;
            result.error = std::string("cannot read standard input: ") + std::strerror(errno);
            body.clear();
            return result;
        }
        got += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < step)
            break;
    }
    body.resize(got);
    result.status = body.size() == result.declaredLength ? FrameReadResult::Status::frame
                                                         : FrameReadResult::Status::truncated;
    return result;
}

bool writeFrame(int fd, std::string_view body, std::string *error)
{
    if (body.size() > std::numeric_limits<std::uint32_t>::max()) {
        if (error)
            *error = "a message of " + std::to_string(body.size()) + " bytes does not fit in a frame";
        return false;
    }
    char header[kFrameHeaderLength];
    encodeFrameLength(static_cast<std::uint32_t>(body.size()), header);
    // Header and body in one writev, so a reader never waits between them.
    iovec parts[2] = {{header, kFrameHeaderLength}, {const_cast<char *>(body.data()), body.size()}};
    int first = 0;
    while (first < 2) {
        const ssize_t n = ::writev(fd, parts + first, 2 - first);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = std::string("cannot write to standard output: ") + std::strerror(errno);
            return false;
        }
        std::size_t left = static_cast<std::size_t>(n);
        while (first < 2 && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = static_cast<char *>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
    return true;
}

} // namespace tarni

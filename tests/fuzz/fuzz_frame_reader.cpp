// The native messaging frame reader on a real pipe, fed in pieces of varying
// size by another thread so that headers and bodies arrive split across
// reads. Every frame read must be exactly the frame the stream holds, and the
// reader must stop where the stream stops making sense.
//
// Input: one byte choosing the length limit, one seeding the piece sizes,
// then the stream.

#include "FuzzSupport.h"

#include "common/NativeHostQueue.h"
#include "common/NativeMessagingFrame.h"

#include <csignal>
#include <semaphore>
#include <thread>
#include <unistd.h>

using namespace tarni;

namespace {

void writeInPieces(int fd, std::string_view stream, std::uint32_t seed)
{
    std::size_t at = 0;
    while (at < stream.size()) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + (seed >> 16) % 7000);
        const ssize_t n = ::write(fd, stream.data() + at, piece);
        if (n <= 0)
            break; // the reader stopped early and closed its end
        at += std::size_t(n);
    }
    ::close(fd);
}

// One writer thread for the whole run: a new thread an input made the
// sanitizer runtime's memory grow by a few hundred bytes each time.
class Writer {
public:
    Writer() { std::thread([this] { run(); }).detach(); }

    void start(int fd, std::string_view stream, std::uint32_t seed)
    {
        m_fd = fd;
        m_stream = stream;
        m_seed = seed;
        m_go.release();
    }
    // Returns once the writer has written what it could and closed its end.
    void wait() { m_done.acquire(); }

private:
    [[noreturn]] void run()
    {
        for (;;) {
            m_go.acquire();
            writeInPieces(m_fd, m_stream, m_seed);
            m_done.release();
        }
    }

    std::binary_semaphore m_go{0}, m_done{0};
    int m_fd = -1;
    std::string_view m_stream;
    std::uint32_t m_seed = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool ignorePipeSignal = (std::signal(SIGPIPE, SIG_IGN), true);
    (void)ignorePipeSignal;
    if (size < 2)
        return 0;
    // Small limits reach the refusal; the product's own limit reaches the
    // reading of bodies announced far longer than the stream.
    const std::uint32_t maxLength = data[0] == 0xff ? kMaxInboundMessageLength : std::uint32_t(data[0]) * 64;
    const std::uint32_t seed = data[1];
    const std::string_view stream = fuzz::asText(data + 2, size - 2);

    int fds[2];
    fuzz::require(::pipe(fds) == 0, "no pipe");
    static Writer &writer = *new Writer;
    writer.start(fds[1], stream, seed);

    std::size_t at = 0;
    std::string body;
    for (;;) {
        const FrameReadResult result = readFrame(fds[0], body, maxLength);
        const std::size_t left = stream.size() - at;
        if (left < kFrameHeaderLength) {
            fuzz::require(result.status == FrameReadResult::Status::endOfInput, "no end of input after the last frame");
            break;
        }
        const std::uint32_t declared = decodeFrameLength(stream.data() + at);
        fuzz::require(result.declaredLength == declared, "a header misread");
        if (declared > maxLength) {
            fuzz::require(result.status == FrameReadResult::Status::tooLarge, "a frame over the limit not refused");
            fuzz::require(body.empty(), "a refused frame's body read");
            break;
        }
        const std::string_view expected = stream.substr(at + kFrameHeaderLength, declared);
        if (expected.size() < declared) {
            fuzz::require(result.status == FrameReadResult::Status::truncated, "a cut frame not reported as cut");
            fuzz::require(body == expected, "the part of a cut frame misread");
            break;
        }
        fuzz::require(result.status == FrameReadResult::Status::frame, "a whole frame not read");
        fuzz::require(body == expected, "a frame's body misread");
        at += kFrameHeaderLength + declared;
    }
    ::close(fds[0]);
    writer.wait();
    return 0;
}

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarni {

// A native messaging frame: the body's length as an unsigned 32-bit
// little-endian number, then the body (one UTF-8 JSON envelope). Frames follow
// each other directly.
inline constexpr std::size_t kFrameHeaderLength = 4;

void encodeFrameLength(std::uint32_t length, char out[kFrameHeaderLength]);
std::uint32_t decodeFrameLength(const char in[kFrameHeaderLength]);

struct FrameReadResult {
    enum class Status {
        frame,      // `body` holds one complete body
        endOfInput, // the stream ended cleanly between frames (or inside a header)
        truncated,  // the stream ended inside a body; `body` holds the part read
        tooLarge,   // the header announced more than the limit; `declaredLength` says how much
        readError,  // read(2) failed; `error` says why
    };
    Status status = Status::endOfInput;
    std::uint32_t declaredLength = 0;
    std::string error;
};

// Reads one frame from `fd` (blocking). A length above `maxLength` is refused
// before anything of the body is read: the stream cannot be resynchronised then.
// `beforeWaiting`, when given, is called once before the first read that has
// to wait for more input: a caller that collects frames while they keep
// coming learns there when the input pauses.
FrameReadResult readFrame(int fd, std::string &body, std::uint32_t maxLength,
                          const std::function<void()> &beforeWaiting = {});

// Writes one frame to `fd` (blocking, all of it). False with a reason when the
// body is too large for a frame or the write fails.
bool writeFrame(int fd, std::string_view body, std::string *error = nullptr);

} // namespace tarni

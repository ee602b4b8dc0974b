#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarni {

// The application and the native messaging host meet only in four sibling
// directories under the data root. Each file holds one envelope and is written
// atomically. Requests, markers and responses are named "<ENVELOPE-ID>.json"
// (upper case); queued messages "<arrival stamp>-<ENVELOPE-ID>.json".
inline constexpr const char *kNativeHostRequestsDirName = "NativeHostRequests";
inline constexpr const char *kNativeHostPendingRequestsDirName = "NativeHostPendingRequests";
inline constexpr const char *kNativeHostResponsesDirName = "NativeHostResponses";
inline constexpr const char *kNativeHostQueueDirName = "NativeHostQueue";
inline constexpr const char *kQueueFileSuffix = ".json";

// Chrome caps a message from the browser to a host at 64 MiB and a message
// from a host to the browser at 1 MiB; neither side gets anything larger.
inline constexpr std::uint32_t kMaxInboundMessageLength = 64u * 1024u * 1024u;
inline constexpr std::uint32_t kMaxOutboundMessageLength = 1024u * 1024u;

struct NativeHostQueueDirectories {
    std::filesystem::path requests;
    std::filesystem::path pending;
    std::filesystem::path responses;
    std::filesystem::path queue;

    static NativeHostQueueDirectories under(const std::filesystem::path &root);
};

// "<upper-case identifier>.json".
std::string queueFileName(std::string_view identifierText);
// "<stamp, 20 digits>-<upper-case identifier>.json": distinct stamps give
// distinct names that sort in stamp order, whatever the identifiers.
std::string queuedMessageFileName(std::uint64_t arrivalStamp, std::string_view identifierText);

// The names of the entries of `dir` that do not start with a dot (the
// temporary files of atomic writes), in ascending byte order. Nullopt with a
// reason when the directory cannot be listed.
std::optional<std::vector<std::string>> listQueueDirectory(const std::filesystem::path &dir,
                                                           std::string *error = nullptr);

// Reads a whole file, refusing files larger than `maxBytes` (the reason then
// says so and `tooLarge` is set).
bool readWholeFile(const std::filesystem::path &path, std::string &out, std::size_t maxBytes,
                   std::string *error = nullptr, bool *tooLarge = nullptr);

// Reads one queue entry whole. Only a regular file is read: it is opened
// without following a link and without blocking, so a folder, a link or a FIFO
// in a queue directory can neither redirect nor stall the reader.
enum class QueueFileRead {
    ok,
    vanished, // gone between listing and reading (another reader took it)
    tooLarge, // more than `maxBytes`
    refused,  // not a regular file, or unreadable; `error` says which
};
QueueFileRead readQueueFile(const std::filesystem::path &path, std::string &out, std::size_t maxBytes,
                            std::string *error = nullptr);

// ---------------------------------------------------------------- identifiers

// Canonical upper-case 8-4-4-4-12 text of `text` when it is UUID text in
// either case; nothing else (braces, missing hyphens) is accepted.
std::optional<std::string> canonicalUuidText(std::string_view text);
// A fresh random (version 4) identifier in canonical text.
std::string randomUuidText();

// All the host reads of a message body.
struct EnvelopeHeader {
    // The string `id` of a JSON object, canonicalised. Nullopt when the body is
    // not a JSON object, has no `id`, or the `id` is not UUID text.
    std::optional<std::string> id;
    // The string `type` of the object `message`; empty when there is none.
    std::string messageType;
};

// Reads envelope headers with one reused parser. Nothing else of the body is
// interpreted.
class EnvelopeHeaderReader {
public:
    EnvelopeHeaderReader();
    ~EnvelopeHeaderReader();
    EnvelopeHeaderReader(const EnvelopeHeaderReader &) = delete;
    EnvelopeHeaderReader &operator=(const EnvelopeHeaderReader &) = delete;

    EnvelopeHeader read(std::string_view body);

private:
    struct Private;
    Private *d;
};

} // namespace tarni

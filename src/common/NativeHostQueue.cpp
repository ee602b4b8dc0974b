#include "common/NativeHostQueue.h"

#include <simdjson.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarni {

namespace fs = std::filesystem;

NativeHostQueueDirectories NativeHostQueueDirectories::under(const fs::path &root)
{
    return {root / kNativeHostRequestsDirName, root / kNativeHostPendingRequestsDirName,
            root / kNativeHostResponsesDirName, root / kNativeHostQueueDirName};
}

std::string queueFileName(std::string_view identifierText)
{
    std::string name(identifierText);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
    return name + kQueueFileSuffix;
}

std::string queuedMessageFileName(std::uint64_t arrivalStamp, std::string_view identifierText)
{
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%020llu-", static_cast<unsigned long long>(arrivalStamp));
    return stamp + queueFileName(identifierText);
}

std::optional<std::vector<std::string>> listQueueDirectory(const fs::path &dir, std::string *error)
{
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        if (error)
            *error = "cannot list \"" + dir.string() + "\": " + ec.message();
        return std::nullopt;
    }
    std::vector<std::string> names;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (!name.empty() && name.front() != '.')
            names.push_back(std::move(name));
    }
    if (ec) {
        if (error)
            *error = "cannot list \"" + dir.string() + "\": " + ec.message();
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

enum class ReadOutcome { ok, notRegular, tooLarge, failed };

const char *fileTypeName(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

// Reads the regular file open on `fd` and closes it.
ReadOutcome readOpenFile(int fd, const fs::path &path, std::string &out, std::size_t maxBytes, std::string *error)
{
    auto finish = [&](ReadOutcome outcome, const std::string &what) {
        if (error && outcome != ReadOutcome::ok)
            *error = what;
        ::close(fd);
        return outcome;
    };
    const std::string quoted = "\"" + path.native() + "\"";
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return finish(ReadOutcome::failed, "cannot inspect " + quoted + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return finish(ReadOutcome::notRegular, quoted + " is " + fileTypeName(st.st_mode) + ", not a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes)
        return finish(ReadOutcome::tooLarge, quoted + " has " + std::to_string(st.st_size) +
                                                 " bytes, more than the limit of " + std::to_string(maxBytes));
    out.clear();
    out.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return finish(ReadOutcome::failed, "cannot read " + quoted + ": " + std::strerror(errno));
        }
        if (n == 0)
            return finish(ReadOutcome::ok, {});
        if (out.size() + static_cast<std::size_t>(n) > maxBytes)
            return finish(ReadOutcome::tooLarge,
                          quoted + " grew beyond the limit of " + std::to_string(maxBytes) + " bytes");
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

bool readWholeFile(const fs::path &path, std::string &out, std::size_t maxBytes, std::string *error, bool *tooLarge)
{
    if (tooLarge)
        *tooLarge = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = "cannot open \"" + path.string() + "\": " + std::strerror(errno);
        return false;
    }
    const ReadOutcome outcome = readOpenFile(fd, path, out, maxBytes, error);
    if (tooLarge)
        *tooLarge = outcome == ReadOutcome::tooLarge;
    return outcome == ReadOutcome::ok;
}

QueueFileRead readQueueFile(const fs::path &path, std::string &out, std::size_t maxBytes, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return QueueFileRead::vanished;
        if (error) {
            // O_NOFOLLOW reports a link as ELOOP.
            *error = "\"" + path.native() + "\" " +
                     (errno == ELOOP ? std::string("is a symbolic link, not a regular file")
                                     : std::string("cannot be opened: ") + std::strerror(errno));
        }
        return QueueFileRead::refused;
    }
    switch (readOpenFile(fd, path, out, maxBytes, error)) {
    case ReadOutcome::ok:
        return QueueFileRead::ok;
    case ReadOutcome::tooLarge:
        return QueueFileRead::tooLarge;
    case ReadOutcome::notRegular:
    case ReadOutcome::failed:
        break;
    }
    return QueueFileRead::refused;
}

// ---------------------------------------------------------------- identifiers

std::optional<std::string> canonicalUuidText(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        char &c = out[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-')
                return std::nullopt;
            continue;
        }
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 32);
        else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return std::nullopt;
    }
    return out;
}

std::string randomUuidText()
{
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // getrandom cannot fail on supported kernels; keep going rather than abort.
            for (; got < sizeof bytes; ++got)
                bytes[got] = static_cast<unsigned char>(std::rand());
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out.push_back('-');
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 0x0f]);
    }
    return out;
}

struct EnvelopeHeaderReader::Private {
    simdjson::dom::parser parser;
};

EnvelopeHeaderReader::EnvelopeHeaderReader()
    : d(new Private)
{
}

EnvelopeHeaderReader::~EnvelopeHeaderReader()
{
    delete d;
}

EnvelopeHeader EnvelopeHeaderReader::read(std::string_view body)
{
    EnvelopeHeader header;
    // The DOM parser validates the whole body: a message that is not JSON
    // throughout gets nothing, however well its beginning looks.
    simdjson::dom::element root;
    if (d->parser.parse(body.data(), body.size(), true).get(root))
        return header;
    simdjson::dom::object object;
    if (root.get_object().get(object))
        return header;
    std::string_view text;
    if (!object["id"].get_string().get(text))
        header.id = canonicalUuidText(text);
    simdjson::dom::object message;
    if (!object["message"].get_object().get(message) && !message["type"].get_string().get(text))
        header.messageType = text;
    return header;
}

} // namespace tarni

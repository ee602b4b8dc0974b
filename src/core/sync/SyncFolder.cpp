#include "sync/SyncFolder.h"

#include "common/AtomicFile.h"
#include "sync/DeviceId.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace tarni::sync {

namespace {

constexpr std::string_view kChangesFolder = "changes/";
constexpr std::string_view kDevicesFolder = "devices/";
constexpr std::string_view kSnapshotsFolder = "snapshots/";
constexpr std::string_view kChangesSuffix = ".tbchanges";
constexpr std::string_view kDeviceSuffix = ".json";
constexpr std::string_view kSnapshotSuffix = ".tbsnapshot";
constexpr std::size_t kDeviceIdLength = 36;
constexpr std::size_t kMaxSeqDigits = 15;

bool consume(std::string_view &text, std::string_view prefix)
{
    if (text.substr(0, prefix.size()) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

bool consumeSuffix(std::string_view &text, std::string_view suffix)
{
    if (text.size() < suffix.size() || text.substr(text.size() - suffix.size()) != suffix)
        return false;
    text.remove_suffix(suffix.size());
    return true;
}

std::optional<QUuid> consumeDevice(std::string_view &text)
{
    if (text.size() < kDeviceIdLength)
        return std::nullopt;
    auto device = parseDeviceId(text.substr(0, kDeviceIdLength));
    text.remove_prefix(kDeviceIdLength);
    return device;
}

// 1 to 15 digits, the first not 0.
std::optional<std::int64_t> parseSeq(std::string_view text)
{
    if (text.empty() || text.size() > kMaxSeqDigits || text.front() == '0')
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Appended piece by piece: GCC 12 at -O3 warns (wrongly) about a literal
// added to a temporary string.
std::string folderError(std::string_view before, const std::filesystem::path &dir, std::string_view after, int code)
{
    std::string text(before);
    text += dir.string();
    text += after;
    text += std::strerror(code);
    return text;
}

} // namespace

std::string FolderFileName::relativePath() const
{
    const std::string id = deviceIdText(device);
    switch (kind) {
    case FolderFileKind::changes:
        return std::string(kChangesFolder) + id + "/" + std::to_string(seq) + std::string(kChangesSuffix);
    case FolderFileKind::device: return std::string(kDevicesFolder) + id + std::string(kDeviceSuffix);
    case FolderFileKind::snapshot:
        return std::string(kSnapshotsFolder) + id + "/" + std::to_string(seq) + std::string(kSnapshotSuffix);
    }
    return {};
}

std::optional<FolderFileName> FolderFileName::parse(std::string_view path)
{
    FolderFileName name;
    std::string_view suffix;
    if (consume(path, kDevicesFolder)) {
        name.kind = FolderFileKind::device;
        auto device = consumeDevice(path);
        if (!device || path != kDeviceSuffix)
            return std::nullopt;
        name.device = *device;
        return name;
    }
    if (consume(path, kChangesFolder)) {
        name.kind = FolderFileKind::changes;
        suffix = kChangesSuffix;
    } else if (consume(path, kSnapshotsFolder)) {
        name.kind = FolderFileKind::snapshot;
        suffix = kSnapshotSuffix;
    } else {
        return std::nullopt;
    }
    auto device = consumeDevice(path);
    if (!device || !consume(path, "/") || !consumeSuffix(path, suffix))
        return std::nullopt;
    auto seq = parseSeq(path);
    if (!seq)
        return std::nullopt;
    name.device = *device;
    name.seq = *seq;
    return name;
}

bool writeFolderFile(const std::filesystem::path &folder, const FolderFileName &name, std::string_view bytes,
                     std::string *error)
{
    const std::filesystem::path file = folder / name.relativePath();
    // The folders below the shared one, made private to the user when they
    // are made here. A link in their place (anyone may write to the shared
    // folder) is refused rather than followed elsewhere.
    std::filesystem::path dir = folder;
    for (const auto &part : file.parent_path().lexically_relative(folder)) {
        dir /= part;
        struct stat status {};
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error)
                *error = folderError("cannot make the folder \"", dir, "\": ", errno);
            return false;
        }
        const bool found = ::lstat(dir.c_str(), &status) == 0;
        if (!found || !S_ISDIR(status.st_mode)) {
            if (found)
                errno = ENOTDIR;
            if (error)
                *error = folderError("\"", dir, "\" is not a folder: ", errno);
            return false;
        }
    }
    return writeFileAtomically(file, bytes, error, 0600,
                               name.kind == FolderFileKind::device ? ExistingFile::replace : ExistingFile::keepExisting);
}

} // namespace tarni::sync

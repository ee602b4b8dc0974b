#include "sync/SyncFolder.h"

#include "common/AtomicFile.h"
#include "sync/DeviceId.h"

#include <QScopeGuard>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

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

std::vector<QUuid> changeFileDevices(const std::filesystem::path &folder)
{
    std::vector<QUuid> devices;
    const std::filesystem::path changes = folder / std::string(kChangesFolder);
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(changes.c_str()), ::closedir);
    if (!dir)
        return devices;
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() != kDeviceIdLength)
            continue;
        auto device = parseDeviceId(name);
        struct stat status {};
        if (device && ::fstatat(::dirfd(dir.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(status.st_mode))
            devices.push_back(*device);
    }
    std::sort(devices.begin(), devices.end(), DeviceIdLess());
    return devices;
}

std::vector<QUuid> folderDevices(const std::filesystem::path &folder, FolderFileKind kind)
{
    if (kind == FolderFileKind::changes)
        return changeFileDevices(folder);
    std::vector<QUuid> devices;
    const bool files = kind == FolderFileKind::device;
    const std::filesystem::path dir = folder / std::string(files ? kDevicesFolder : kSnapshotsFolder);
    std::unique_ptr<DIR, int (*)(DIR *)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        return devices;
    while (const dirent *entry = ::readdir(listing.get())) {
        std::string_view name(entry->d_name);
        if (files && !consumeSuffix(name, kDeviceSuffix))
            continue;
        if (name.size() != kDeviceIdLength)
            continue;
        auto device = parseDeviceId(name);
        struct stat status {};
        if (device && ::fstatat(::dirfd(listing.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            (files ? S_ISREG(status.st_mode) : S_ISDIR(status.st_mode)))
            devices.push_back(*device);
    }
    std::sort(devices.begin(), devices.end(), DeviceIdLess());
    return devices;
}

std::vector<FolderEntry> folderFiles(const std::filesystem::path &folder, FolderFileKind kind, const QUuid &device)
{
    std::vector<FolderEntry> entries;
    if (kind == FolderFileKind::device)
        return entries;
    const std::string_view suffix = kind == FolderFileKind::changes ? kChangesSuffix : kSnapshotSuffix;
    const std::filesystem::path dir =
        folder / std::string(kind == FolderFileKind::changes ? kChangesFolder : kSnapshotsFolder) / deviceIdText(device);
    std::unique_ptr<DIR, int (*)(DIR *)> listing(::opendir(dir.c_str()), ::closedir);
    if (!listing)
        return entries;
    while (const dirent *entry = ::readdir(listing.get())) {
        std::string_view name(entry->d_name);
        if (!consumeSuffix(name, suffix))
            continue;
        auto seq = parseSeq(name);
        struct stat status {};
        if (seq && ::fstatat(::dirfd(listing.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode))
            entries.push_back(FolderEntry{*seq, std::uint64_t(status.st_size)});
    }
    std::sort(entries.begin(), entries.end(), [](const FolderEntry &a, const FolderEntry &b) { return a.seq < b.seq; });
    return entries;
}

bool removeFolderFile(const std::filesystem::path &folder, const FolderFileName &name, std::string *error)
{
    const std::filesystem::path file = folder / name.relativePath();
    if (::unlink(file.c_str()) == 0 || errno == ENOENT)
        return true;
    if (error)
        *error = folderError("cannot remove \"", file, "\": ", errno);
    return false;
}

int openFolderFile(const std::filesystem::path &folder, const FolderFileName &name, FolderFileRead &result)
{
    result = FolderFileRead();
    const std::filesystem::path file = folder / name.relativePath();
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        result.status = FolderFileRead::Status::unreadable;
        result.error = errno == ELOOP ? std::string("a link, not a file") : std::string(std::strerror(errno));
        return -1;
    }
    result.status = FolderFileRead::Status::unreadable;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        result.error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    result.stamp = std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
                   std::to_string(status.st_mtim.tv_nsec);
    result.modifiedMs = std::int64_t(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1'000'000;
    if (!S_ISREG(status.st_mode)) {
        result.error = "not a regular file";
        ::close(fd);
        return -1;
    }
    result.status = FolderFileRead::Status::read;
    return fd;
}

bool folderHoldsTree(const std::filesystem::path &folder)
{
    return !changeFileDevices(folder).empty() || !folderDevices(folder, FolderFileKind::snapshot).empty();
}

FolderFileRead readFolderFile(const std::filesystem::path &folder, const FolderFileName &name, std::size_t maxBytes)
{
    FolderFileRead result;
    const int fd = openFolderFile(folder, name, result);
    if (fd < 0)
        return result;
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    result.status = FolderFileRead::Status::unreadable;
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        result.error = std::strerror(errno);
        return result;
    }
    if (std::uint64_t(status.st_size) > maxBytes) {
        result.error = "larger than " + std::to_string(maxBytes) + " bytes";
        return result;
    }
    // Read up to one byte more than the limit, in case the file grew since.
    result.bytes.resize(std::size_t(status.st_size) + 1);
    std::size_t got = 0;
    while (got < result.bytes.size()) {
        const ssize_t n = ::read(fd, result.bytes.data() + got, result.bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.error = std::strerror(errno);
            result.bytes.clear();
            return result;
        }
        if (n == 0)
            break;
        got += std::size_t(n);
        if (got > maxBytes) {
            result.error = "larger than " + std::to_string(maxBytes) + " bytes";
            result.bytes.clear();
            return result;
        }
    }
    result.bytes.resize(got);
    result.status = FolderFileRead::Status::read;
    return result;
}

} // namespace tarni::sync

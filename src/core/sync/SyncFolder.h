#pragma once

#include <QUuid>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarni::sync {

// The files of the shared folder, each below its writer's device id:
//     changes/<device>/<seq>.tbchanges
//     devices/<device>.json
//     snapshots/<device>/<seq>.tbsnapshot
// <seq> is a decimal number from 1, without leading zeros, at most 15 digits.
enum class FolderFileKind { changes, device, snapshot };

struct FolderFileName {
    FolderFileKind kind = FolderFileKind::changes;
    QUuid device;
    std::int64_t seq = 0; // 0 for a device file

    // The path relative to the folder, with "/" between its parts.
    std::string relativePath() const;
    // Only a path of exactly one of the forms above, the device id in lower
    // case, is a name of ours; everything else in the folder (the engines'
    // temporary and conflict files, our own temporary files, anything a
    // person put there) is none.
    static std::optional<FolderFileName> parse(std::string_view relativePath);

    bool operator==(const FolderFileName &) const = default;
};

// Writes one file of the folder atomically, making its directory first
// (private to the user). Change and snapshot files are written once: an
// existing one is never replaced (false, errno EEXIST). A device file is
// replaced.
bool writeFolderFile(const std::filesystem::path &folder, const FolderFileName &name, std::string_view bytes,
                     std::string *error = nullptr);

// The devices with a folder of change files, in id order; names that are not
// device ids, and anything but folders, are left out. A missing folder has
// none.
std::vector<QUuid> changeFileDevices(const std::filesystem::path &folder);
// Whether any machine put its tree in the folder (change or snapshot files):
// turning sync on with it joins that tree.
bool folderHoldsTree(const std::filesystem::path &folder);
// The same for `kind`'s folder (changes, snapshots) or, for device files,
// the devices with one.
std::vector<QUuid> folderDevices(const std::filesystem::path &folder, FolderFileKind kind);

// One device's change or snapshot files, by number.
struct FolderEntry {
    std::int64_t seq = 0;
    std::uint64_t bytes = 0;
};
std::vector<FolderEntry> folderFiles(const std::filesystem::path &folder, FolderFileKind kind, const QUuid &device);

// Removes one file of ours; a missing one counts as removed.
bool removeFolderFile(const std::filesystem::path &folder, const FolderFileName &name, std::string *error = nullptr);

// One file read from the folder, and what tells this version of it from a
// later one (its size and modification time), for retrying a damaged file
// only once it changed.
struct FolderFileRead {
    enum class Status { read, missing, unreadable };
    Status status = Status::missing;
    std::string bytes;
    std::string stamp;
    std::string error; // unreadable: why (not a regular file, too large, an I/O error)
    std::int64_t modifiedMs = 0;
};

// Reads a regular file of ours, never through a link, and at most `maxBytes`
// of it: a larger one is unreadable.
FolderFileRead readFolderFile(const std::filesystem::path &folder, const FolderFileName &name, std::size_t maxBytes);

// Opens a regular file of ours to read as a stream, with the same checks: the
// descriptor (the caller closes it), or -1 with `result` telling why.
int openFolderFile(const std::filesystem::path &folder, const FolderFileName &name, FolderFileRead &result);

} // namespace tarni::sync

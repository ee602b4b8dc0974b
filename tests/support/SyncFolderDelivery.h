#pragma once

// Carries files between two machines' copies of the shared folder by plain
// copy, as a folder-sync engine would.

#include "sync/SyncFolder.h"

#include <QUuid>

#include <filesystem>
#include <optional>

namespace tarni::test {

// Copies the files of ours that `to` lacks, and device files newer than its
// own. The receiving machine's own files (`receiver`) come from it alone:
// what it removed stays removed. Returns how many files were copied.
inline int copyFolderFiles(const std::filesystem::path &from, const std::filesystem::path &to,
                           const std::optional<QUuid> &receiver)
{
    namespace fs = std::filesystem;
    int copied = 0;
    for (const auto &entry : fs::recursive_directory_iterator(from)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = entry.path().lexically_relative(from);
        const auto name = sync::FolderFileName::parse(relative.generic_string());
        if (!name || (receiver && name->device == *receiver))
            continue;
        const fs::path target = to / relative;
        // Device files are replaced by newer ones only.
        const bool deviceFile = name->kind == sync::FolderFileKind::device;
        if (fs::exists(target) && (!deviceFile || fs::last_write_time(target) >= fs::last_write_time(entry.path())))
            continue;
        fs::create_directories(target.parent_path());
        fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
        fs::last_write_time(target, fs::last_write_time(entry.path()));
        ++copied;
    }
    return copied;
}

} // namespace tarni::test

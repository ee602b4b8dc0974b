#pragma once

#include "update/UpdateProblem.h"
#include "util/Result.h"

#include <QString>

#include <filesystem>

namespace tarni {

// Limits on what an update archive may hold.
struct ArchiveLimits {
    qint64 maxEntries = 100000;
    qint64 maxTotalBytes = qint64(4) << 30;
    qint64 maxNameBytes = 4096;
};

// Unpacks a gzip-compressed tar archive into `destination`, which must
// exist and be empty. Regular files, directories and symbolic links only;
// refuses absolute names, "..", links that leave the tree, entries below a
// link, hard links and devices, and anything past the limits. File modes
// keep only the permission bits, without set-id bits or write access for
// others. On a refusal the destination may hold part of the tree: callers
// unpack into a private staging folder and throw it away.
Result<std::monostate, UpdateProblem> unpackTarGz(const QString &archive, const std::filesystem::path &destination,
                                                  const ArchiveLimits &limits = {});

struct TarballSwitch {
    std::filesystem::path installedRoot; // the new "tarnibar-<version>-Linux"
    std::filesystem::path currentLink;   // "<parent>/tarnibar-current"
    std::filesystem::path executable;    // through the link
};

inline constexpr const char *kCurrentLinkName = "tarnibar-current";

// Installs a verified bundle beside `currentRoot` (the folder holding bin/,
// lib/ and share/ of the running copy): unpacks it into a hidden staging
// folder in the same parent, checks it holds exactly one top folder with
// bin/tarnibar, renames that folder into place, then points the link
// "<parent>/tarnibar-current" at it with one rename(2). The running copy is
// left as it is, so going back is pointing the link at it again.
Result<TarballSwitch, UpdateProblem> installTarball(const QString &archive, const std::filesystem::path &currentRoot,
                                                    const ArchiveLimits &limits = {});

} // namespace tarni

#pragma once

#include "util/Result.h"

#include <QString>

#include <filesystem>

namespace tarni::sync {

struct SharedFolderProblem {
    enum class Kind {
        overlapsDataRoot, // the database must never be in the shared folder
        notAFolder,
        unusable, // cannot be resolved or created
    };
    Kind kind = Kind::unusable;
    QString text;
};

// The folder to share, as given by a user or a caller on the bus: made
// absolute and normal, links resolved as far as it exists, and created
// (private to the user) when missing. A folder inside the data root, or one
// that holds it, is refused.
Result<std::filesystem::path, SharedFolderProblem> prepareSharedFolder(const QString &given,
                                                                       const std::filesystem::path &dataRoot);

} // namespace tarni::sync

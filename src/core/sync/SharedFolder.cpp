#include "sync/SharedFolder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace tarni::sync {

namespace fs = std::filesystem;

namespace {

QString pathText(const fs::path &path)
{
    return QString::fromStdString(path.string());
}

QString problemText(const std::error_code &error)
{
    return QString::fromStdString(error.message());
}

// Both paths absolute and normal, without a trailing separator.
bool within(const fs::path &inner, const fs::path &outer)
{
    return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

// Creates the missing directories, readable by the user only.
bool createFolder(const fs::path &folder, std::error_code &error)
{
    fs::path made;
    for (const fs::path &part : folder) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            error = std::error_code(errno, std::generic_category());
            return false;
        }
    }
    return true;
}

SharedFolderProblem unusable(const QString &text)
{
    return {SharedFolderProblem::Kind::unusable, text};
}

} // namespace

Result<fs::path, SharedFolderProblem> prepareSharedFolder(const QString &given, const fs::path &dataRoot)
{
    std::error_code ec;
    if (given.trimmed().isEmpty())
        return Failure(unusable(QStringLiteral("no folder was given")));
    fs::path folder = fs::absolute(fs::path(given.toStdString()), ec).lexically_normal();
    if (ec)
        return Failure(unusable(QStringLiteral("cannot use the folder \"%1\": %2").arg(given, problemText(ec))));
    if (!folder.has_filename() && folder != folder.root_path())
        folder = folder.parent_path(); // "dir/" is "dir"
    // Links resolved as far as the path exists, so that a link into the data
    // root is seen for what it is.
    const fs::path real = fs::weakly_canonical(folder, ec);
    const fs::path root = ec ? fs::path() : fs::weakly_canonical(dataRoot, ec);
    if (ec)
        return Failure(unusable(QStringLiteral("cannot use the folder \"%1\": %2").arg(pathText(folder), problemText(ec))));
    if (within(real, root) || within(root, real))
        return Failure(SharedFolderProblem{
            SharedFolderProblem::Kind::overlapsDataRoot,
            QStringLiteral("the folder \"%1\" and the data root \"%2\" overlap; the database must never be in the "
                           "shared folder, so choose a folder outside the data root")
                .arg(pathText(folder), pathText(dataRoot))});
    const fs::file_status status = fs::status(folder, ec);
    if (status.type() == fs::file_type::not_found) {
        if (!createFolder(folder, ec))
            return Failure(
                unusable(QStringLiteral("cannot create the folder \"%1\": %2").arg(pathText(folder), problemText(ec))));
        return folder;
    }
    if (ec)
        return Failure(unusable(QStringLiteral("cannot use the folder \"%1\": %2").arg(pathText(folder), problemText(ec))));
    if (status.type() != fs::file_type::directory)
        return Failure(SharedFolderProblem{SharedFolderProblem::Kind::notAFolder,
                                           QStringLiteral("\"%1\" is not a folder").arg(pathText(folder))});
    return folder;
}

} // namespace tarni::sync

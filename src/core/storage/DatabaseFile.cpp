#include "storage/DatabaseFile.h"

#include "storage/StoreError.h"

#include <QUrl>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarni::DatabaseFile {

namespace {

Opened failed(sqlite3 *db, int code, const QString &message)
{
    sqlite3_close_v2(db);
    return Opened{nullptr, code, message, {}};
}

Opened emptyFileError()
{
    return Opened{nullptr, SQLITE_NOTADB,
                  QStringLiteral("the file is empty (0 bytes), so it holds no workspace; it was probably cut short "
                                 "by a failed copy or a full disk"),
                  {}};
}

Opened open(const std::string &name, int flags)
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        const QString detail = QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        Opened result = failed(db, code, sqliteProblem(code));
        result.warnings << QStringLiteral("opening \"%1\" failed: SQLite error %2 (%3)")
                               .arg(QString::fromStdString(name))
                               .arg(code)
                               .arg(detail);
        return result;
    }
    sqlite3_extended_result_codes(db, 1);
    return Opened{db, SQLITE_OK, {}, {}};
}

// Reading the schema is the first thing that needs the "-shm" file.
int probe(sqlite3 *db)
{
    return sqlite3_exec(db, "PRAGMA schema_version;", nullptr, nullptr, nullptr) == SQLITE_OK
        ? SQLITE_OK
        : sqlite3_extended_errcode(db);
}

QString whyTheFolderIsUnusable(const std::filesystem::path &folder)
{
    if (::access(folder.c_str(), W_OK) != 0)
        return QStringLiteral("the folder \"%1\" is read-only").arg(QString::fromStdString(folder.string()));
    struct statvfs fs {};
    if (::statvfs(folder.c_str(), &fs) == 0 && fs.f_bavail == 0)
        return QStringLiteral("the disk is full");
    return QStringLiteral("a file cannot be created beside it");
}

constexpr mode_t kPrivateMode = 0600;

// Creates the file 0600 when missing: SQLite would create it 0644 less the
// umask, and gives "-wal" and "-shm" the database's own mode when it creates
// them. Files already there lose their group and other bits where we own them.
void makePrivate(const std::filesystem::path &path, bool create, QStringList &warnings)
{
    auto warn = [&](const QString &why) {
        warnings << QStringLiteral("\"%1\" stays readable by other users: %2")
                        .arg(QString::fromStdString(path.string()), why);
    };
    if (create) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateMode);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        if (errno != EEXIST)
            return; // SQLite's own open says why
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || (info.st_mode & 077) == 0)
        return;
    if (info.st_uid != ::geteuid()) {
        warn(QStringLiteral("it belongs to another user"));
        return;
    }
    if (::chmod(path.c_str(), info.st_mode & 0700) != 0)
        warn(QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

bool isEmptyFile(const std::filesystem::path &path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && std::filesystem::file_size(path, ec) == 0 && !ec;
}

Opened openForReading(const std::filesystem::path &path)
{
    if (isEmptyFile(path))
        return emptyFileError();
    Opened opened = open(path.string(), SQLITE_OPEN_READONLY);
    if (!opened.ok())
        return opened;
    const int code = probe(opened.db);
    const int primary = code & 0xff;
    if (code == SQLITE_OK || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN && primary != SQLITE_IOERR))
        return opened; // other failures show up, with SQLite's message, where the reader first reads
    sqlite3_close_v2(opened.db);

    const QString folderProblem = whyTheFolderIsUnusable(path.parent_path());
    std::error_code ec;
    const auto walPath = std::filesystem::path(path.string() + "-wal");
    if (std::filesystem::exists(walPath, ec) && std::filesystem::file_size(walPath, ec) > 0)
        return Opened{nullptr, code,
                      QStringLiteral("%1, and the changes waiting in \"%2\" cannot be read without creating a file "
                                     "beside it; TarniBar merges them into the database the next time it runs with "
                                     "write access")
                          .arg(folderProblem, QString::fromStdString(walPath.filename().string())),
                      {}};
    // Nothing waits in the log, and nobody can be writing where no file can
    // be created, so the file alone is the whole database.
    QUrl uri = QUrl::fromLocalFile(QString::fromStdString(path.string()));
    uri.setQuery(QStringLiteral("immutable=1"));
    opened = open(uri.toString(QUrl::FullyEncoded).toStdString(), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (opened.ok() && probe(opened.db) != SQLITE_OK) {
        const int again = sqlite3_extended_errcode(opened.db);
        const QString detail = QString::fromUtf8(sqlite3_errmsg(opened.db));
        Opened result = failed(opened.db, again,
                               QStringLiteral("%1, and the database cannot be read without it (%2)")
                                   .arg(folderProblem, sqliteProblem(again)));
        result.warnings << QStringLiteral("reading \"%1\" as immutable failed: SQLite error %2 (%3)")
                               .arg(QString::fromStdString(path.string()))
                               .arg(again)
                               .arg(detail);
        return result;
    }
    return opened;
}

Opened openForWriting(const std::filesystem::path &path)
{
    if (isEmptyFile(path))
        return emptyFileError();
    QStringList warnings;
    makePrivate(path, true, warnings);
    for (const char *suffix : {"-wal", "-shm", "-journal"})
        makePrivate(path.string() + suffix, false, warnings);
    Opened opened = open(path.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    opened.warnings = warnings + opened.warnings;
    return opened;
}

} // namespace tarni::DatabaseFile

#include "storage/DatabaseFile.h"

#include <QUrl>

#include <sqlite3.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tarni::DatabaseFile {

namespace {

Opened failed(sqlite3 *db, int code, const QString &message)
{
    sqlite3_close_v2(db);
    return Opened{nullptr, code, message};
}

Opened emptyFileError()
{
    return Opened{nullptr, SQLITE_NOTADB,
                  QStringLiteral("the file is empty (0 bytes), so it holds no workspace; it was probably cut short "
                                 "by a failed copy or a full disk")};
}

Opened open(const std::string &name, int flags)
{
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK)
        return failed(db, db ? sqlite3_extended_errcode(db) : rc,
                      QString::fromUtf8(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_extended_result_codes(db, 1);
    return Opened{db, SQLITE_OK, {}};
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
                          .arg(folderProblem, QString::fromStdString(walPath.filename().string()))};
    // Nothing waits in the log, and nobody can be writing where no file can
    // be created, so the file alone is the whole database.
    QUrl uri = QUrl::fromLocalFile(QString::fromStdString(path.string()));
    uri.setQuery(QStringLiteral("immutable=1"));
    opened = open(uri.toString(QUrl::FullyEncoded).toStdString(), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (opened.ok() && probe(opened.db) != SQLITE_OK) {
        const int again = sqlite3_extended_errcode(opened.db);
        return failed(opened.db, again,
                      QStringLiteral("%1, and the database cannot be read without it (%2)")
                          .arg(folderProblem, QString::fromUtf8(sqlite3_errmsg(opened.db))));
    }
    return opened;
}

Opened openForWriting(const std::filesystem::path &path)
{
    if (isEmptyFile(path))
        return emptyFileError();
    return open(path.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

} // namespace tarni::DatabaseFile

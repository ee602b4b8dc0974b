#pragma once

#include <QString>
#include <QStringList>

#include <filesystem>

struct sqlite3;

namespace tarni {

// Opening "workspace.sqlite" the way every reader and writer must.
namespace DatabaseFile {

// The result of an open: SQLite's (extended) result code and, on failure, a
// message that says what is wrong in the user's terms.
struct Opened {
    sqlite3 *db = nullptr;
    int code = 0;
    QString message;
    // What went wrong without stopping the open, for the log.
    QStringList warnings;
    bool ok() const { return db != nullptr; }
};

// A file of zero bytes is what an interrupted copy or a full disk leaves
// behind. SQLite would take it for a new, empty database and the workspace
// would silently start over; it is reported as damaged instead.
bool isEmptyFile(const std::filesystem::path &path);

// Opens the database without writing anything. A database in WAL mode needs
// a "-shm" file beside it that readers create; where that is impossible (a
// read-only folder, a full disk) the database is read as immutable when no
// changes wait in its "-wal" file, and otherwise the open fails saying why.
Opened openForReading(const std::filesystem::path &path);

// Opens (creating when missing) for reading and writing; refuses an empty
// file. The database and its companion files are made private to the user
// (0600) whatever the umask: they hold every address in the workspace.
Opened openForWriting(const std::filesystem::path &path);

} // namespace DatabaseFile
} // namespace tarni

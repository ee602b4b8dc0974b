#include "storage/StoreError.h"

#include <sqlite3.h>

namespace tarni {

QString sqliteProblem(int code)
{
    switch (code & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("the database is in use by another program");
    case SQLITE_FULL:
        return QStringLiteral("the disk is full");
    case SQLITE_READONLY:
        return QStringLiteral("the database cannot be written to");
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return QStringLiteral("access to the database file was denied");
    case SQLITE_IOERR:
        return QStringLiteral("reading or writing the database file failed");
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return QStringLiteral("the database file is damaged");
    case SQLITE_CANTOPEN:
        return QStringLiteral("the database file cannot be opened");
    case SQLITE_NOMEM:
        return QStringLiteral("there is not enough memory");
    case SQLITE_TOOBIG:
        return QStringLiteral("a record is too large for the database");
    case SQLITE_CONSTRAINT:
        return QStringLiteral("the database refused a record that breaks its rules");
    case SQLITE_ERROR:
    case SQLITE_SCHEMA:
        return QStringLiteral("the database is not laid out the way this version of TarniBar expects");
    }
    return QStringLiteral("the database reported error %1").arg(code);
}

QString StoreError::description() const
{
    // SQLite's own wording and the statement stay in the log
    // (WorkspaceStore logs them where the error arises).
    switch (kind) {
    case Kind::open:
        return message;
    case Kind::prepare:
    case Kind::step:
        return QStringLiteral("The workspace database could not be used: %1").arg(sqliteProblem(sqliteCode));
    case Kind::decode:
        return QStringLiteral("A stored record could not be read: %1").arg(message);
    case Kind::encode:
        return QStringLiteral("A record could not be stored: %1").arg(message);
    case Kind::sync:
        return message;
    case Kind::changedElsewhere:
        return QStringLiteral("Another program changed the workspace after TarniBar read it, so this change was "
                              "not saved (it would have overwritten theirs); make it again on the workspace as it "
                              "is now");
    }
    return message;
}

bool StoreError::isBusy() const
{
    const int primary = sqliteCode & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool StoreError::isCorrupt() const
{
    const int primary = sqliteCode & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

} // namespace tarni

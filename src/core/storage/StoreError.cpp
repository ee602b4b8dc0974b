#include "storage/StoreError.h"

#include <sqlite3.h>

namespace tarni {

QString StoreError::description() const
{
    switch (kind) {
    case Kind::open:
        return message;
    case Kind::prepare:
        return QStringLiteral("Could not prepare a database statement (%1): %2").arg(message, sql.simplified());
    case Kind::step:
        return QStringLiteral("A database statement failed (%1): %2").arg(message, sql.simplified());
    case Kind::decode:
        return QStringLiteral("A stored record could not be read: %1").arg(message);
    case Kind::encode:
        return QStringLiteral("A record could not be stored: %1").arg(message);
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

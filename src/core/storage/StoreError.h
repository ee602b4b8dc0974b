#pragma once

#include "util/Result.h"

#include <QString>

namespace tarni {

// Why a store operation failed. No wording for users beyond description().
struct StoreError {
    enum class Kind {
        open,    // the database file could not be opened
        prepare, // a statement did not compile
        step,    // a statement did not run to completion (busy, I/O, constraint, corrupt …)
        decode,  // a stored JSON text no longer decodes
        encode,  // a record could not be encoded
        changedElsewhere, // another program changed the nodes since this store read them
        sync,             // sync is off, or the shared folder could not be written (`message` says which)
    };
    Kind kind = Kind::step;
    QString sql;     // the statement, where one was involved
    QString message; // SQLite's message, or the decoder's
    int sqliteCode = 0; // SQLite's extended result code, where SQLite gave one

    // For people: our own wording, never SQLite's message or the statement.
    QString description() const;
    bool isBusy() const;
    bool isCorrupt() const;
};

// What SQLite's result code means, in our words.
QString sqliteProblem(int code);

template <class T>
using StoreResult = Result<T, StoreError>;

} // namespace tarni

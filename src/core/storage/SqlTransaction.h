#pragma once

#include "storage/StoreError.h"

namespace tarni {

struct SqlConnection;

// A transaction on one connection. Until commit() succeeds, leaving the
// scope rolls it back, so every early return undoes what was written.
class SqlTransaction {
public:
    enum class Mode {
        write, // BEGIN IMMEDIATE: takes the write lock at once, before the first statement
        read,  // BEGIN: one snapshot of the database for several statements
    };

    explicit SqlTransaction(SqlConnection &connection, Mode mode = Mode::write);
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction &) = delete;
    SqlTransaction &operator=(const SqlTransaction &) = delete;

    // Also begins again after a rollback.
    StoreResult<void> begin();
    // A failed commit leaves the transaction open; it is rolled back at the
    // end of the scope.
    StoreResult<void> commit();
    // Ends the transaction without its changes. One that fails to roll back
    // stays open and is rolled back again at the end of the scope.
    StoreResult<void> rollback();
    // Ends a read: one ROLLBACK, whose failure changes nothing that was read.
    void endRead();

private:
    SqlConnection &m_connection;
    Mode m_mode;
    bool m_open = false;
};

} // namespace tarni

#include "storage/SqlTransaction.h"

#include "storage/WorkspaceStorePrivate.h"

namespace tarni {

namespace {

constexpr const char *kBeginWrite = "BEGIN IMMEDIATE;";
constexpr const char *kBeginRead = "BEGIN;";
constexpr const char *kCommit = "COMMIT;";
constexpr const char *kRollback = "ROLLBACK;";

} // namespace

SqlTransaction::SqlTransaction(SqlConnection &connection, Mode mode)
    : m_connection(connection)
    , m_mode(mode)
{
}

SqlTransaction::~SqlTransaction()
{
    if (m_open)
        (void)m_connection.execute(kRollback);
}

StoreResult<void> SqlTransaction::begin()
{
    auto begun = m_connection.execute(m_mode == Mode::write ? kBeginWrite : kBeginRead);
    m_open = bool(begun);
    return begun;
}

StoreResult<void> SqlTransaction::commit()
{
    auto committed = m_connection.execute(kCommit);
    if (committed)
        m_open = false;
    return committed;
}

StoreResult<void> SqlTransaction::rollback()
{
    auto rolledBack = m_connection.execute(kRollback);
    if (rolledBack)
        m_open = false;
    return rolledBack;
}

void SqlTransaction::endRead()
{
    (void)m_connection.execute(kRollback);
    m_open = false;
}

} // namespace tarni

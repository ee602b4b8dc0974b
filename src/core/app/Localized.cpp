#include "app/Localized.h"

#include <mutex>
#include <shared_mutex>

namespace tarni {

namespace {

std::shared_mutex g_lock;
std::shared_ptr<const StringTable> g_table;

std::shared_ptr<const StringTable> currentTable()
{
    std::shared_lock guard(g_lock);
    return g_table;
}

} // namespace

void setLocalizedStrings(std::shared_ptr<const StringTable> table)
{
    std::unique_lock guard(g_lock);
    g_table = std::move(table);
}

QString localized(const QString &key)
{
    const auto table = currentTable();
    if (!table)
        return key;
    return table->value(key, key);
}

QString localized(const char *key)
{
    return localized(QString::fromUtf8(key));
}

} // namespace tarni

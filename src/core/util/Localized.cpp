#include "util/Localized.h"

#include <QRegularExpression>

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

QString formatted(const QString &text, const QStringList &values)
{
    static const QRegularExpression placeholder(QStringLiteral(R"(%(?:@|l{0,2}d|s|\.\d+f))"));
    QString out;
    qsizetype from = 0;
    qsizetype next = 0;
    for (const auto &match : placeholder.globalMatch(text)) {
        out += QStringView(text).mid(from, match.capturedStart() - from);
        out += next < values.size() ? values[next] : match.captured();
        ++next;
        from = match.capturedEnd();
    }
    out += QStringView(text).mid(from);
    return out;
}

} // namespace tarni

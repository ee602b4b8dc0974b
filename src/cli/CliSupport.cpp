#include "CliCommand.h"

#include "common/DataRoot.h"

#include <cstdio>

namespace tarni::cli {

std::filesystem::path CliContext::databasePath() const
{
    return root / kWorkspaceDatabaseName;
}

QString visibleText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\r' || u == u'\t')
            out += QLatin1Char(' ');
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else if (u == 0x061c || u == 0x200e || u == 0x200f || (u >= 0x2028 && u <= 0x202e) ||
                 (u >= 0x2066 && u <= 0x2069))
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

void printError(const QString &message)
{
    const QByteArray line = (QStringLiteral("tarnibar-cli: ") + visibleText(message) + QLatin1Char('\n')).toUtf8();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

void printOut(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void printOut(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    printOut(std::string_view(bytes.constData(), size_t(bytes.size())));
}

QString fileProblem(const std::error_code &error)
{
    if (error == std::errc::no_such_file_or_directory)
        return QStringLiteral("no such file");
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted)
        return QStringLiteral("permission denied");
    return QString::fromStdString(error.message());
}

void reportUnusable(const std::filesystem::path &path, const std::error_code &error, const char *missing,
                    const char *what)
{
    const QString shown = QString::fromStdString(path.string());
    if (!error || error == std::errc::no_such_file_or_directory)
        printError(QStringLiteral("%1 at \"%2\"").arg(QString::fromLatin1(missing), shown));
    else
        printError(QStringLiteral("cannot use the %1 \"%2\": %3")
                       .arg(QString::fromLatin1(what), shown, fileProblem(error)));
}

int requireRoot(const CliContext &context)
{
    std::error_code ec;
    if (std::filesystem::is_directory(context.root, ec))
        return kExitOk;
    reportUnusable(context.root, ec, "no data root", "data root");
    return kExitNoRoot;
}

int requireExistingDatabase(const CliContext &context)
{
    if (int code = requireRoot(context))
        return code;
    std::error_code ec;
    if (!std::filesystem::exists(context.databasePath(), ec)) {
        reportUnusable(context.databasePath(), ec, "no workspace database", "workspace database");
        return kExitNoDatabase;
    }
    return kExitOk;
}

int reportStoreError(const StoreError &error)
{
    printError(error.description());
    if (error.kind == StoreError::Kind::decode)
        return kExitBadData;
    if (error.isBusy())
        return kExitLocked;
    if (error.isCorrupt())
        return kExitCorrupt;
    return kExitFailed;
}

} // namespace tarni::cli

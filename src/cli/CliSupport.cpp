#include "CliCommand.h"

#include "common/DataRoot.h"

#include <cstdio>

namespace tarni::cli {

std::filesystem::path CliContext::databasePath() const
{
    return root / kWorkspaceDatabaseName;
}

void printError(const QString &message)
{
    const QByteArray line = (QStringLiteral("tarnibar-cli: ") + message + QLatin1Char('\n')).toUtf8();
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

int requireExistingDatabase(const CliContext &context)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(context.root, ec)) {
        printError(QStringLiteral("no data root at \"%1\"").arg(QString::fromStdString(context.root.string())));
        return kExitNoRoot;
    }
    if (!std::filesystem::exists(context.databasePath(), ec)) {
        printError(QStringLiteral("no workspace database at \"%1\"")
                       .arg(QString::fromStdString(context.databasePath().string())));
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

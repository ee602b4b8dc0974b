#include "InteropCommands.h"

#include "ApplicationLink.h"

#include "archive/TreeArchiveService.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace tarni::cli {

std::optional<InteropFormat> detectFormatOfFile(const std::filesystem::path &file,
                                                std::optional<InteropFormat> named)
{
    if (named)
        return named;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        printError(QStringLiteral("Cannot read \"%1\": %2")
                       .arg(QString::fromStdString(file.string()),
                            ec ? fileProblem(ec) : QStringLiteral("not a regular file")));
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open()) {
        const int error = errno;
        printError(QStringLiteral("Cannot read \"%1\": %2")
                       .arg(QString::fromStdString(file.string()),
                            error == EACCES || error == EPERM ? QStringLiteral("permission denied")
                                                              : QString::fromLocal8Bit(std::strerror(error))));
        return std::nullopt;
    }
    std::string head(64 * 1024, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(std::size_t(in.gcount()));
    auto detected = detectInteropFormat(head);
    if (!detected) {
        printError(QStringLiteral("\"%1\": %2").arg(QString::fromStdString(file.string()),
                                                    detected.error().description()));
        return std::nullopt;
    }
    return *detected;
}

QString importReport(qint64 nodes, const ImportSummary &summary)
{
    QString text = QStringLiteral("Imported %1 node(s): %2 group(s), %3 link(s)")
                       .arg(nodes)
                       .arg(summary.groups)
                       .arg(summary.links);
    if (summary.skipped > 0)
        text += QStringLiteral("; ") + skippedEntriesText(summary);
    return text + QLatin1Char('\n');
}

int importInteropFormat(const CliContext &context, const Arguments &args, const std::filesystem::path &file,
                        InteropFormat format)
{
    // Parse first: a bad file changes nothing.
    ImportOptions options;
    options.groupTitle = QString::fromStdString(file.filename().string());
    options.now = currentTimestamp();
    auto imported = importInteropFile(file, format, options);
    if (!imported) {
        printError(imported.error().description());
        return kExitBadData;
    }
    EditSession session;
    if (int code = openForEditing(context, session)) {
        if (!session.applicationRunning)
            return code;
        QString parent;
        if (int code = parseUnderText(args, parent))
            return code;
        QVariantList reply;
        if (int code = callApplication(context, "ImportFileAs",
                                       {QString::fromStdString(file.string()), parent, interopFormatName(format)},
                                       &reply))
            return code;
        const ImportSummary summary{reply.value(1).toLongLong(), reply.value(2).toLongLong(),
                                    reply.value(3).toLongLong(), {}};
        printOut(importReport(reply.value(0).toLongLong(), summary));
        return kExitOk;
    }
    TreeViewModel &model = *session.model;
    std::optional<QUuid> parent;
    if (int code = parseUnder(args, model, parent))
        return code;
    ImportReport report;
    if (int code = importIntoWorkspace(session, std::move(*imported), parent, report))
        return code;
    printOut(importReport(report.added, report.summary));
    return kExitOk;
}

int writeInteropExport(const TreeExport &document, InteropFormat format, const std::optional<QString> &output)
{
    if (output) {
        const std::filesystem::path path = std::filesystem::absolute(output->toStdString());
        if (auto written = exportInteropFile(document, format, path); !written) {
            printError(written.error().description());
            return kExitFailed;
        }
        printOut(QStringLiteral("Exported %1\n").arg(QString::fromStdString(path.filename().string())));
        return kExitOk;
    }
    auto text = exportInterop(document, format);
    if (!text) {
        printError(text.error().description());
        return kExitFailed;
    }
    printOut(text.value());
    return kExitOk;
}

} // namespace tarni::cli

#include "archive/TreeExportFile.h"

#include "common/AtomicFile.h"
#include "common/DataRoot.h"
#include "model/JsonWriting.h"
#include "model/TreeExportReader.h"

#include <rapidjson/prettywriter.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarni {

namespace export_detail {

// A RapidJSON output stream that caps the indentation the pretty writer asks
// for. The writer emits indentation only through PutN, which is found here
// by argument-dependent lookup ahead of RapidJSON's generic one.
class CappedIndentStream {
public:
    using Ch = char;
    CappedIndentStream(std::string &out, std::size_t maxIndent)
        : m_out(out)
        , m_maxIndent(maxIndent)
    {
    }
    void Put(char c) { m_out.push_back(c); }
    void Flush() {}
    void putIndent(char c, std::size_t n) { m_out.append(std::min(n, m_maxIndent), c); }

private:
    std::string &m_out;
    std::size_t m_maxIndent;
};

inline void PutN(CappedIndentStream &stream, char c, std::size_t n)
{
    stream.putIndent(c, n);
}

} // namespace export_detail

namespace TreeExportFile {

Result<std::string, json::EncodeError> encode(const TreeExport &document, Layout layout)
{
    std::string out;
    export_detail::CappedIndentStream stream(out, kMaxIndentLevels * kIndentWidth);
    bool written = false;
    if (layout == Layout::compact) {
        rapidjson::Writer<export_detail::CappedIndentStream> writer(stream);
        written = json::writeFields(writer, document);
    } else {
        rapidjson::PrettyWriter<export_detail::CappedIndentStream> writer(stream);
        writer.SetIndent(' ', kIndentWidth);
        written = json::writeFields(writer, document);
    }
    if (!written)
        return Failure(json::EncodeError{QStringLiteral("sortOrder is not a finite number")});
    out.push_back('\n');
    return out;
}

Result<void, ExportFileError> write(const TreeExport &document, const std::filesystem::path &file, Layout layout)
{
    auto text = encode(document, layout);
    if (!text)
        return Failure(ExportFileError{text.error().description()});
    std::string error;
    if (file.has_parent_path() && !ensurePrivateDirectory(file.parent_path(), &error))
        return Failure(ExportFileError{QString::fromStdString(error)});
    if (!writeFileAtomically(file, text.value(), &error))
        return Failure(ExportFileError{QString::fromStdString(error)});
    return {};
}

QString datedFileName(const QDateTime &localTime, int attempt)
{
    QString name = QString::fromLatin1(kExportFileStem) + QLatin1Char(' ') +
        localTime.toString(QStringLiteral("yyyy-MM-dd HH.mm.ss"));
    if (attempt > 1)
        name += QLatin1Char('-') + QString::number(attempt);
    return name + QStringLiteral(".json");
}

Result<std::filesystem::path, ExportFileError> writeNew(const TreeExport &document, const std::filesystem::path &folder,
                                                       const QDateTime &localTime)
{
    // More exports in one second than this means something else is wrong.
    constexpr int kMaxAttempts = 100;
    auto text = encode(document);
    if (!text)
        return Failure(ExportFileError{text.error().description()});
    std::string error;
    if (!ensurePrivateDirectory(folder, &error))
        return Failure(ExportFileError{QString::fromStdString(error)});
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        const std::filesystem::path file = folder / datedFileName(localTime, attempt).toStdString();
        if (writeFileAtomically(file, text.value(), &error, 0600, ExistingFile::keepExisting))
            return file;
        if (errno != EEXIST)
            return Failure(ExportFileError{QString::fromStdString(error)});
    }
    return Failure(ExportFileError{QString::fromStdString(error)});
}

Result<TreeExport, ExportFileError> read(const std::filesystem::path &file)
{
    const QString name = QString::fromStdString(file.string());
    auto cannotRead = [&](const QString &why) {
        return Failure(ExportFileError{QStringLiteral("Cannot read \"%1\": %2").arg(name, why)});
    };
    // Non-blocking, so that a FIFO given by mistake is refused instead of
    // waiting for a writer that never comes.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            return cannotRead(QStringLiteral("permission denied"));
        if (error == ENOENT)
            return cannotRead(QStringLiteral("no such file"));
        return cannotRead(QString::fromLocal8Bit(std::strerror(error)));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return cannotRead(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(info.st_mode))
        return cannotRead(QStringLiteral("not a regular file"));
    // Read as it is decoded: exports of large trees are larger than what
    // is sensible to hold in memory at once.
    int readError = 0;
    const json::ByteSource source = [&](char *buffer, std::size_t size) -> std::size_t {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, size);
            if (n >= 0)
                return std::size_t(n);
            if (errno != EINTR) {
                readError = errno;
                return 0;
            }
        }
    };
    auto document = json::readTreeExport(source);
    if (readError)
        return cannotRead(QString::fromLocal8Bit(std::strerror(readError)));
    if (!document && document.error().notJson)
        return Failure(ExportFileError{QStringLiteral("\"%1\" is %2").arg(name, document.error().description())});
    if (!document)
        return Failure(ExportFileError{QStringLiteral("\"%1\" is not an export document: %2")
                                           .arg(name, document.error().description())});
    if (document->schemaVersion > TreeExport::kSchemaVersion)
        return Failure(ExportFileError{QStringLiteral("This file was made by a newer version of TarniBar (schema %1)")
                                           .arg(document->schemaVersion)});
    return std::move(document).value();
}

} // namespace TreeExportFile
} // namespace tarni

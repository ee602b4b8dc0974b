#include "archive/TreeExportFile.h"

#include "common/AtomicFile.h"
#include "common/DataRoot.h"
#include "model/JsonWriting.h"

#include <rapidjson/prettywriter.h>

#include <algorithm>
#include <fstream>
#include <system_error>

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

std::filesystem::path defaultPath(const std::filesystem::path &dataRoot)
{
    return dataRoot / kExportsFolderName / kExportFileName;
}

Result<std::string, json::EncodeError> encode(const TreeExport &document)
{
    std::string out;
    export_detail::CappedIndentStream stream(out, kMaxIndentLevels * kIndentWidth);
    rapidjson::PrettyWriter<export_detail::CappedIndentStream> writer(stream);
    writer.SetIndent(' ', kIndentWidth);
    if (!json::writeFields(writer, document))
        return Failure(json::EncodeError{QStringLiteral("sortOrder is not a finite number")});
    out.push_back('\n');
    return out;
}

Result<void, ExportFileError> write(const TreeExport &document, const std::filesystem::path &file)
{
    auto text = encode(document);
    if (!text)
        return Failure(ExportFileError{text.error().description()});
    std::string error;
    if (file.has_parent_path() && !ensurePrivateDirectory(file.parent_path(), &error))
        return Failure(ExportFileError{QString::fromStdString(error)});
    if (!writeFileAtomically(file, text.value(), &error))
        return Failure(ExportFileError{QString::fromStdString(error)});
    return {};
}

Result<TreeExport, ExportFileError> read(const std::filesystem::path &file)
{
    const QString name = QString::fromStdString(file.string());
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec)
        return Failure(ExportFileError{QStringLiteral("Cannot read \"%1\": %2").arg(name, QString::fromStdString(ec.message()))});
    if (size > kMaxImportBytes)
        return Failure(ExportFileError{QStringLiteral("\"%1\" is too large to import (%2 bytes; the limit is %3).")
                                           .arg(name)
                                           .arg(qulonglong(size))
                                           .arg(qulonglong(kMaxImportBytes))});
    std::ifstream in(file, std::ios::binary);
    std::string text(std::size_t(size), '\0');
    if (!in || !in.read(text.data(), std::streamsize(size)))
        return Failure(ExportFileError{QStringLiteral("Cannot read \"%1\".").arg(name)});
    auto document = json::decodeTreeExport(text);
    if (!document)
        return Failure(ExportFileError{QStringLiteral("\"%1\" is not an export document: %2")
                                           .arg(name, document.error().description())});
    return std::move(document).value();
}

} // namespace TreeExportFile
} // namespace tarni

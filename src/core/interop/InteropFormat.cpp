#include "interop/InteropFormat.h"

#include "archive/TreeExportFile.h"
#include "common/AtomicFile.h"
#include "common/DataRoot.h"
#include "interop/InteropBuilder.h"
#include "model/JsonDecoding.h"
#include "model/TreeExportReader.h"
#include "util/Localized.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace tarni {

namespace {

struct FormatInfo {
    InteropFormat format;
    const char *name;
    const char *suffix;
    bool imports;
    bool exports;
};

constexpr std::array kFormats{
    FormatInfo{InteropFormat::tarnibar, "tarnibar", "json", true, true},
    FormatInfo{InteropFormat::bookmarks, "bookmarks", "html", true, true},
    FormatInfo{InteropFormat::onetab, "onetab", "txt", true, true},
    FormatInfo{InteropFormat::sessions, "sessions", "json", true, false},
    FormatInfo{InteropFormat::markdown, "markdown", "md", true, true},
    FormatInfo{InteropFormat::text, "text", "txt", true, true},
    FormatInfo{InteropFormat::html, "html", "html", false, true},
};

const FormatInfo &info(InteropFormat format)
{
    for (const FormatInfo &entry : kFormats)
        if (entry.format == format)
            return entry;
    return kFormats.front();
}

std::string_view withoutByteOrderMark(std::string_view bytes)
{
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    return bytes;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

// `needle` is lower case and starts with a character that has no case (all
// of them start with '<'), so only the places that hold it are compared.
bool containsNoCase(std::string_view text, std::string_view needle)
{
    for (std::size_t i = text.find(needle[0]); i != std::string_view::npos; i = text.find(needle[0], i + 1))
        if (startsWithNoCase(text.substr(i), needle))
            return true;
    return false;
}

bool looksLikeAddress(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = line[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return line.find(' ') == std::string_view::npos || line.find(" | ") != std::string_view::npos;
}

ImportSummary summarize(const TreeExport &document)
{
    ImportSummary summary;
    interop::walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t) {
            if (entry.node.kind() == WorkspaceNodeKind::group)
                ++summary.groups;
            else
                ++summary.links;
        },
        [](const TreeExportNode &, std::size_t) {});
    if (!document.rootNode.originalNodeID)
        --summary.groups; // the added "Workspace" root is not imported
    return summary;
}

Result<InteropImport, InteropError> importOwnFormat(json::Decoded<TreeExport> document)
{
    if (!document)
        return Failure(InteropError{document.error().notJson
                                        ? document.error().description()
                                        : QStringLiteral("not an export document: ") + document.error().description(),
                                    std::nullopt, std::nullopt});
    if (document->schemaVersion > TreeExport::kSchemaVersion)
        return Failure(InteropError{QStringLiteral("This file was made by a newer version of TarniBar (schema %1)")
                                        .arg(document->schemaVersion),
                                    std::nullopt, std::nullopt});
    InteropImport result;
    result.format = InteropFormat::tarnibar;
    result.summary.refused = applyEntryRules(*document);
    const EntryProblemCounts refused = result.summary.refused;
    result.summary = summarize(*document);
    result.summary.refused = refused;
    result.summary.skipped = refused.total();
    result.document = std::move(document).value();
    return result;
}

} // namespace

QString interopFormatName(InteropFormat format)
{
    return QString::fromLatin1(info(format).name);
}

std::optional<InteropFormat> interopFormatFromName(const QString &name)
{
    for (const FormatInfo &entry : kFormats)
        if (name == QLatin1String(entry.name))
            return entry.format;
    return std::nullopt;
}

QStringList interopFormatNames()
{
    QStringList names;
    for (const FormatInfo &entry : kFormats)
        names.append(QString::fromLatin1(entry.name));
    return names;
}

bool canImport(InteropFormat format)
{
    return info(format).imports;
}

bool canExport(InteropFormat format)
{
    return info(format).exports;
}

QString interopFileSuffix(InteropFormat format)
{
    return QString::fromLatin1(info(format).suffix);
}

QString InteropError::description() const
{
    QString text = reason;
    if (line && byteOffset)
        text = QStringLiteral("line %1 (byte %2): %3").arg(*line).arg(*byteOffset).arg(reason);
    else if (line)
        text = QStringLiteral("line %1: %2").arg(*line).arg(reason);
    else if (byteOffset)
        text = QStringLiteral("byte %1: %2").arg(*byteOffset).arg(reason);
    return file.isEmpty() ? text : QStringLiteral("\"%1\", %2").arg(file, text);
}

Result<InteropFormat, InteropError> detectInteropFormat(std::string_view bytes)
{
    const std::string_view text = withoutByteOrderMark(bytes);
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
        ++start;
    if (start == text.size())
        return Failure(InteropError{QStringLiteral("the file is empty"), std::nullopt, std::nullopt});
    const std::string_view head = text.substr(start, 64 * 1024);
    // Our own document is a JSON object; session managers write arrays, or
    // an object whose list is "sessions".
    if (head[0] == '[')
        return InteropFormat::sessions;
    if (head[0] == '{') {
        if (head.find("\"sessions\"") != std::string_view::npos && head.find("\"rootNode\"") == std::string_view::npos)
            return InteropFormat::sessions;
        return InteropFormat::tarnibar;
    }
    if (startsWithNoCase(head, "<!doctype netscape-bookmark-file") || containsNoCase(head, "<dt><a ") ||
        containsNoCase(head, "<dl>"))
        return InteropFormat::bookmarks;

    // Line formats: look at the first few non-empty lines.
    bool markdown = false, onetab = false, allAddresses = true;
    int seen = 0;
    for (std::size_t pos = 0; pos < head.size() && seen < 50;) {
        std::size_t end = head.find('\n', pos);
        if (end == std::string_view::npos)
            end = head.size();
        std::string_view line = head.substr(pos, end - pos);
        pos = end + 1;
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.remove_suffix(1);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
            line.remove_prefix(1);
        if (line.empty())
            continue;
        ++seen;
        if (line.starts_with('#') || line.find("](") != std::string_view::npos)
            markdown = true;
        if (looksLikeAddress(line) && line.find(" | ") != std::string_view::npos)
            onetab = true;
        if (!looksLikeAddress(line))
            allAddresses = false;
    }
    if (markdown)
        return InteropFormat::markdown;
    if (onetab && allAddresses)
        return InteropFormat::onetab;
    if (allAddresses && seen > 0)
        return InteropFormat::text;
    return Failure(InteropError{
        QStringLiteral("cannot tell the file's format; name it (tarnibar, bookmarks, onetab, sessions, markdown or "
                       "text)"),
        std::nullopt, std::nullopt});
}

Result<InteropImport, InteropError> importInterop(std::string_view bytes, std::optional<InteropFormat> format,
                                                  const ImportOptions &options)
{
    const std::string_view text = withoutByteOrderMark(bytes);
    if (!format) {
        auto detected = detectInteropFormat(text);
        if (!detected)
            return Failure(detected.error());
        format = *detected;
    }
    if (!canImport(*format))
        return Failure(InteropError{QStringLiteral("the %1 format can be exported but not imported")
                                        .arg(interopFormatName(*format)),
                                    std::nullopt, std::nullopt});
    if (auto bad = interop::checkUtf8(text)) {
        // Positions count from the file's first byte, mark included.
        if (bad->byteOffset)
            *bad->byteOffset += std::int64_t(bytes.size() - text.size());
        return Failure(*bad);
    }
    switch (*format) {
    case InteropFormat::tarnibar: return importOwnFormat(json::decodeTreeExport(text));
    case InteropFormat::bookmarks: return interop::importBookmarks(text, options);
    case InteropFormat::onetab: return interop::importOneTab(text, options);
    case InteropFormat::sessions: return interop::importSessions(text, options);
    case InteropFormat::markdown: return interop::importMarkdown(text, options);
    case InteropFormat::text: return interop::importPlainText(text, options);
    case InteropFormat::html: break;
    }
    return Failure(InteropError{QStringLiteral("unknown format"), std::nullopt, std::nullopt});
}

Result<InteropImport, InteropError> importInteropFile(const std::filesystem::path &file,
                                                      std::optional<InteropFormat> format,
                                                      const ImportOptions &options)
{
    const QString name = QString::fromStdString(file.string());
    auto cannotRead = [&](const QString &why) {
        return Failure(InteropError{QStringLiteral("Cannot read \"%1\": %2").arg(name, why), std::nullopt,
                                    std::nullopt});
    };
    // Non-blocking, so that a FIFO given by mistake is refused instead of
    // waiting for a writer that never comes.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return cannotRead(QStringLiteral("no such file"));
        if (error == EACCES || error == EPERM)
            return cannotRead(QStringLiteral("permission denied"));
        return cannotRead(QString::fromLocal8Bit(std::strerror(error)));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return cannotRead(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(status.st_mode))
        return cannotRead(QStringLiteral("not a regular file"));
    auto withFile = [&](Result<InteropImport, InteropError> imported) -> Result<InteropImport, InteropError> {
        if (imported)
            return imported;
        InteropError error = imported.error();
        error.file = name;
        return Failure(std::move(error));
    };
    // Our own documents are decoded as they are read, at any size.
    if (!format) {
        std::string head(128 * 1024, '\0');
        const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
        if (n > 0) {
            head.resize(std::size_t(n));
            if (auto detected = detectInteropFormat(withoutByteOrderMark(head)); detected && *detected == InteropFormat::tarnibar)
                format = InteropFormat::tarnibar;
        }
    }
    if (format == InteropFormat::tarnibar) {
        const auto total = std::int64_t(status.st_size);
        std::int64_t done = 0;
        int readError = 0;
        bool cancelled = false;
        auto document = json::readTreeExport([&](char *buffer, std::size_t size) -> std::size_t {
            if (options.cancelled && options.cancelled->load(std::memory_order_relaxed)) {
                cancelled = true;
                return 0;
            }
            for (;;) {
                const ssize_t n = ::read(fd, buffer, size);
                if (n >= 0) {
                    done += n;
                    if (options.progress)
                        options.progress(done, std::max(done, total));
                    return std::size_t(n);
                }
                if (errno != EINTR) {
                    readError = errno;
                    return 0;
                }
            }
        });
        if (readError)
            return cannotRead(QString::fromLocal8Bit(std::strerror(readError)));
        if (cancelled)
            return withFile(Failure(InteropError{QStringLiteral("the import was cancelled"), std::nullopt, std::nullopt}));
        return withFile(importOwnFormat(std::move(document)));
    }
    if (std::uint64_t(status.st_size) > kMaxInteropImportBytes)
        return Failure(InteropError{QStringLiteral("\"%1\" is too large to import (%2 bytes; the limit is %3).")
                                        .arg(name)
                                        .arg(qulonglong(status.st_size))
                                        .arg(qulonglong(kMaxInteropImportBytes)),
                                    std::nullopt, std::nullopt});
    std::string bytes(std::size_t(status.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return cannotRead(QString::fromLocal8Bit(std::strerror(errno)));
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    bytes.resize(done);
    return withFile(importInterop(bytes, format, options));
}

Result<std::string, InteropError> exportInterop(const TreeExport &document, InteropFormat format)
{
    switch (format) {
    case InteropFormat::tarnibar: {
        auto text = TreeExportFile::encode(document);
        if (!text)
            return Failure(InteropError{text.error().description(), std::nullopt, std::nullopt});
        return std::move(text).value();
    }
    case InteropFormat::bookmarks: return interop::exportBookmarks(document);
    case InteropFormat::onetab: return interop::exportOneTab(document);
    case InteropFormat::markdown: return interop::exportMarkdown(document);
    case InteropFormat::text: return interop::exportPlainText(document);
    case InteropFormat::html: return interop::exportHtmlPage(document);
    case InteropFormat::sessions: break;
    }
    return Failure(InteropError{
        QStringLiteral("the %1 format can be imported but not exported").arg(interopFormatName(format)), std::nullopt,
        std::nullopt});
}

Result<void, InteropError> exportInteropFile(const TreeExport &document, InteropFormat format,
                                             const std::filesystem::path &file)
{
    auto text = exportInterop(document, format);
    if (!text)
        return Failure(text.error());
    std::string error;
    if (file.has_parent_path() && !ensurePrivateDirectory(file.parent_path(), &error))
        return Failure(InteropError{QString::fromStdString(error), std::nullopt, std::nullopt});
    if (!writeFileAtomically(file, text.value(), &error))
        return Failure(InteropError{QString::fromStdString(error), std::nullopt, std::nullopt});
    return {};
}

void keepImportedCreationDates(const TreeExport &document, QList<WorkspaceNode> &nodes)
{
    qsizetype index = 0;
    interop::walkTree(
        document.rootNode,
        [&](const TreeExportNode &entry, std::size_t) {
            if (index < nodes.size() && nodes[index].createdAt() != entry.node.createdAt())
                nodes[index].setCreatedAt(entry.node.createdAt());
            ++index;
        },
        [](const TreeExportNode &, std::size_t) {});
}

namespace {

// Checks one entry; false when it is to be left out.
bool acceptEntry(TreeExportNode &entry, EntryProblemCounts &refused)
{
    WorkspaceNode &node = entry.node;
    if (const auto problem = EntryRules::payloadProblem(node.payload())) {
        refused.add(*problem);
        if (entry.children.empty())
            return false;
        node.setKind(WorkspaceNodeKind::group);
        node.setPayload(NodePayload::group());
    }
    if (EntryRules::titleProblem(node.title())) {
        const auto address = interop::addressOfPayload(node.payload());
        const QString title = address ? *address : localized("Untitled Group");
        node.setTitle(title);
        entry.title = title;
    }
    return true;
}

} // namespace

EntryProblemCounts applyEntryRules(TreeExport &document)
{
    EntryProblemCounts refused;
    TreeExportNode &root = document.rootNode;
    // A whole-workspace document's added root is never imported.
    if (root.originalNodeID && !acceptEntry(root, refused)) {
        root.children.clear();
        root.originalNodeID.reset();
        return refused;
    }
    // Each entry's children are checked before it is left: without
    // recursion, since documents nest as deep as the import limit allows.
    std::vector<TreeExportNode *> stack{&root};
    while (!stack.empty()) {
        TreeExportNode *entry = stack.back();
        stack.pop_back();
        auto &children = entry->children;
        std::erase_if(children, [&](TreeExportNode &child) { return !acceptEntry(child, refused); });
        for (TreeExportNode &child : children)
            stack.push_back(&child);
    }
    return refused;
}

} // namespace tarni

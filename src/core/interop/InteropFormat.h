#pragma once

#include "model/EntryRules.h"
#include "model/TreeExport.h"
#include "util/Result.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarni {

// Formats other tools read and write, beside our own JSON export document.
enum class InteropFormat { tarnibar, bookmarks, onetab, sessions, markdown, text, html };

// "tarnibar", "bookmarks", ... as the command line and the menus name them.
QString interopFormatName(InteropFormat format);
std::optional<InteropFormat> interopFormatFromName(const QString &name);
QStringList interopFormatNames();
bool canImport(InteropFormat format);
bool canExport(InteropFormat format);
// The usual file name extension, without the dot.
QString interopFileSuffix(InteropFormat format);

// Why a file could not be read. Positions are 1-based lines and 0-based byte
// offsets into the file; absent when the fault has no one place.
struct InteropError {
    QString reason;
    std::optional<std::int64_t> line;
    std::optional<std::int64_t> byteOffset;
    // The file it was read from, when the reason does not name it already.
    QString file = {};

    QString description() const;
    bool operator==(const InteropError &) const = default;
};

// What an import would add below its new group.
struct ImportSummary {
    std::int64_t groups = 0;
    std::int64_t links = 0;
    // Entries left out of the tree because the entry rules refused them,
    // in all and by reason.
    std::int64_t skipped = 0;
    EntryProblemCounts refused;

    bool operator==(const ImportSummary &) const = default;
};

// A parsed import: one new group (the document's root, a subtree document)
// holding everything the file held, ready for TreeArchiveService.
struct InteropImport {
    InteropFormat format = InteropFormat::tarnibar;
    TreeExport document;
    ImportSummary summary;
};

struct ImportOptions {
    // Title of the new group holding the import.
    QString groupTitle;
    // Time for nodes the file gives no date for.
    Timestamp now{};
    // Called now and then with the bytes read so far and the total; cleared
    // by the caller to cancel, which ends the import with an error.
    std::function<void(std::int64_t done, std::int64_t total)> progress;
    const std::atomic<bool> *cancelled = nullptr;
};

// Files larger than this are refused before they are read.
inline constexpr std::uint64_t kMaxInteropImportBytes = std::uint64_t(1) << 30;

// The format a text is in, told from its content.
Result<InteropFormat, InteropError> detectInteropFormat(std::string_view bytes);

// Parses `bytes` in `format` (detected when absent). Nothing is fetched or run.
Result<InteropImport, InteropError> importInterop(std::string_view bytes, std::optional<InteropFormat> format,
                                                  const ImportOptions &options);
// Reads a regular file within the size limit, then imports it.
Result<InteropImport, InteropError> importInteropFile(const std::filesystem::path &file,
                                                      std::optional<InteropFormat> format,
                                                      const ImportOptions &options);

// The document as text in `format` (every format canExport allows).
Result<std::string, InteropError> exportInterop(const TreeExport &document, InteropFormat format);
// Writes the export atomically (folder created private when missing).
Result<void, InteropError> exportInteropFile(const TreeExport &document, InteropFormat format,
                                             const std::filesystem::path &file);

// Applies the entry rules to a document in place: an entry whose values they
// refuse is left out and counted, except that one with children becomes a
// group of its title, so that nothing below it is lost; a blank title is
// replaced by the entry's address (a group's by "Untitled Group").
EntryProblemCounts applyEntryRules(TreeExport &document);

// The import tree's nodes carry their own creation dates (bookmark dates,
// session times); the archive's import stamps every node with the import
// time, so put them back. `nodes` is the archive's pre-order of `document`.
void keepImportedCreationDates(const TreeExport &document, QList<WorkspaceNode> &nodes);

} // namespace tarni

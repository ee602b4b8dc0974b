#pragma once

#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/TreeExport.h"
#include "util/Result.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tarni {

inline constexpr const char *kExportsFolderName = "Exports";
inline constexpr const char *kExportFileName = "workspace-export.json";
// Quick exports are dated, "workspace-export 2026-12-08 14.03.22.json", so
// that none replaces an earlier one.
inline constexpr const char *kExportFileStem = "workspace-export";

struct ExportFileError {
    QString reason;
    QString description() const { return reason; }
};

// The export file: the document pretty-printed with keys sorted at every
// level, written atomically so that a failed export leaves the previous file
// whole.
namespace TreeExportFile {

// Indentation stops growing past this many levels: a deeply nested tree
// would otherwise make the file grow with the square of its depth.
inline constexpr std::size_t kMaxIndentLevels = 32;
inline constexpr unsigned kIndentWidth = 2;

// Compact leaves out all spaces and line breaks but the last: a large tree's
// file is about half the size and as readable to a program.
enum class Layout { pretty, compact };

Result<std::string, json::EncodeError> encode(const TreeExport &document, Layout layout = Layout::pretty);
// Creates the folder when missing (private to the user), then replaces the
// file atomically.
Result<void, ExportFileError> write(const TreeExport &document, const std::filesystem::path &file,
                                    Layout layout = Layout::pretty);
// A quick export's file name for `localTime`; from the second try on a
// counter follows ("… 14.03.22-2.json"). Only digits, spaces, dots and
// hyphens: nothing a file manager or a shell treats specially.
QString datedFileName(const QDateTime &localTime, int attempt = 1);
// Writes `document` into `folder` (created when missing) under the first
// dated name not taken yet; never replaces a file. Gives the path written.
Result<std::filesystem::path, ExportFileError> writeNew(const TreeExport &document, const std::filesystem::path &folder,
                                                       const QDateTime &localTime);
// Decodes the file as it reads it, so that its size is limited only by the
// tree it holds (json::readTreeExport).
Result<TreeExport, ExportFileError> read(const std::filesystem::path &file);

} // namespace TreeExportFile
} // namespace tarni

#pragma once

#include "model/JsonDecoding.h"
#include "model/JsonEncoding.h"
#include "model/TreeExport.h"
#include "util/Result.h"

#include <QString>

#include <cstdint>
#include <filesystem>
#include <string>

namespace tarni {

inline constexpr const char *kExportsFolderName = "Exports";
inline constexpr const char *kExportFileName = "workspace-export.json";

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
// Files larger than this are refused on import instead of read into memory.
inline constexpr std::uintmax_t kMaxImportBytes = std::uintmax_t(1) << 30;

// "<dataRoot>/Exports/workspace-export.json"
std::filesystem::path defaultPath(const std::filesystem::path &dataRoot);

Result<std::string, json::EncodeError> encode(const TreeExport &document);
// Creates the folder when missing (private to the user), then replaces the
// file atomically.
Result<void, ExportFileError> write(const TreeExport &document, const std::filesystem::path &file);
Result<TreeExport, ExportFileError> read(const std::filesystem::path &file);

} // namespace TreeExportFile
} // namespace tarni

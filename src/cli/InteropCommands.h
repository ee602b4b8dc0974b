#pragma once

// Imports and exports in other tools' formats (`--format`).

#include "CliSession.h"

#include "interop/InteropFormat.h"

#include <filesystem>
#include <optional>

namespace tarni::cli {

// The format named, or the one the file's first bytes show; nothing (having
// said why) when it cannot be told or read.
std::optional<InteropFormat> detectFormatOfFile(const std::filesystem::path &file,
                                                std::optional<InteropFormat> named);
// Imports `file` into a new group named after it, under --under or at the
// top level, through the running application when it holds the workspace.
int importInteropFormat(const CliContext &context, const Arguments &args, const std::filesystem::path &file,
                        InteropFormat format);
// Writes the document in `format` to `output` (atomically) or standard output.
int writeInteropExport(const TreeExport &document, InteropFormat format, const std::optional<QString> &output);

// "Imported 12 node(s): 2 group(s), 9 link(s); 3 entries skipped ..."
QString importReport(qint64 nodes, const ImportSummary &summary);

} // namespace tarni::cli

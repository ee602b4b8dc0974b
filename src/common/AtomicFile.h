#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarni {

// Writes `bytes` to `path` so that a reader sees either the old file or the
// complete new one: a temporary file ".<name>.<random>.tmp" in the same
// folder, fsync, rename, then fsync of the folder. When only the last step
// fails, the new file is in place but the result is false all the same: a
// crash could still undo the rename.
// The file gets `mode` (0600 by default: our files carry the user's URLs).
// With `keepExisting` a file already at `path` is left alone and the write
// fails with errno EEXIST, also when another writer takes the name first.
enum class ExistingFile { replace, keepExisting };
bool writeFileAtomically(const std::filesystem::path &path, std::string_view bytes,
                         std::string *error = nullptr, unsigned mode = 0600,
                         ExistingFile existing = ExistingFile::replace);

// For tests of what a failing disk leaves behind: called before each system
// call of writeFileAtomically; a non-zero result makes that call fail with
// that errno. Before a write, lowering `*length` makes it write only part.
enum class AtomicWriteStep { create, write, sync, close, rename, syncFolder };
using AtomicWriteFaultHook = int (*)(AtomicWriteStep step, std::size_t *length);
void setAtomicWriteFaultHookForTesting(AtomicWriteFaultHook hook);

} // namespace tarni

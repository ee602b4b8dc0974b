#include "common/ApplicationLaunch.h"

#include "common/AtomicFile.h"
#include "common/NativeHostQueue.h"

#include <unistd.h>

namespace tarni {

namespace fs = std::filesystem;

bool recordApplicationExecutable(const fs::path &root, const fs::path &executable, std::string *error)
{
    return writeFileAtomically(root / kRecordedExecutableFileName, executable.string() + "\n", error);
}

std::optional<fs::path> recordedApplicationExecutable(const fs::path &root)
{
    std::string text;
    if (!readWholeFile(root / kRecordedExecutableFileName, text, 4096))
        return std::nullopt;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const fs::path path(text);
    if (text.empty() || !path.is_absolute() || text.find('\n') != std::string::npos)
        return std::nullopt;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec) || ::access(path.c_str(), X_OK) != 0)
        return std::nullopt;
    return path;
}

} // namespace tarni

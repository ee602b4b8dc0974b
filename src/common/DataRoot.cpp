#include "common/DataRoot.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarni {

namespace fs = std::filesystem;

static std::string envValue(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

fs::path dataHomeDirectory()
{
    // XDG: a relative XDG_DATA_HOME is invalid and must be ignored.
    if (std::string xdg = envValue("XDG_DATA_HOME"); !xdg.empty() && xdg.front() == '/')
        return fs::path(xdg);
    std::string home = envValue("HOME");
    if (home.empty()) {
        if (const passwd *pw = getpwuid(getuid()); pw && pw->pw_dir)
            home = pw->pw_dir;
    }
    return fs::path(home.empty() ? "/" : home) / ".local" / "share";
}

fs::path dataRoot(DataRootMode mode)
{
    if (std::string root = envValue("TARNI_UITEST_ROOT"); !root.empty())
        return fs::absolute(fs::path(root)).lexically_normal();
    return dataHomeDirectory() / (mode == DataRootMode::automation ? "TarniBarUITests" : "TarniBar");
}

bool ensurePrivateDirectory(const fs::path &dir, std::string *error)
{
    std::error_code ec;
    if (fs::is_directory(dir, ec))
        return true;
    if (!dir.parent_path().empty() && dir.parent_path() != dir)
        fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = "cannot create directory \"" + dir.string() + "\": " + std::strerror(errno);
        return false;
    }
    if (!fs::is_directory(dir, ec)) {
        if (error)
            *error = "\"" + dir.native() + "\" exists and is not a directory";
        return false;
    }
    return true;
}

} // namespace tarni

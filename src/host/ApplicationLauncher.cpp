#include "ApplicationLauncher.h"

#include "HostBridge.h"

#include "common/ApplicationLaunch.h"
#include "common/DataRoot.h"
#include "common/InstanceLock.h"
#include "common/NativeHostQueue.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

namespace tarni::host {

namespace fs = std::filesystem;

ApplicationLauncher::ApplicationLauncher(fs::path root)
    : m_root(std::move(root))
{
}

std::optional<fs::path> findDesktopEntry(std::string_view entryName)
{
    std::vector<fs::path> dirs{dataHomeDirectory()};
    const char *dataDirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share";
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        const std::string dir = list.substr(start, end - start);
        if (!dir.empty() && dir.front() == '/')
            dirs.emplace_back(dir);
        start = end + 1;
    }
    for (const fs::path &dir : dirs) {
        const fs::path candidate = dir / "applications" / std::string(entryName);
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec))
            return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> desktopEntryValue(std::string_view text, std::string_view key)
{
    bool inMainGroup = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, eq);
        while (!name.empty() && name.back() == ' ')
            name.remove_suffix(1);
        if (name != key)
            continue;
        std::string_view raw = line.substr(eq + 1);
        while (!raw.empty() && raw.front() == ' ')
            raw.remove_prefix(1);
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\' || i + 1 == raw.size()) {
                value.push_back(raw[i]);
                continue;
            }
            switch (raw[++i]) {
            case 's': value.push_back(' '); break;
            case 'n': value.push_back('\n'); break;
            case 't': value.push_back('\t'); break;
            case 'r': value.push_back('\r'); break;
            case '\\': value.push_back('\\'); break;
            default:
                value.push_back('\\');
                value.push_back(raw[i]);
            }
        }
        return value;
    }
    return std::nullopt;
}

std::vector<std::string> parseDesktopExec(std::string_view exec)
{
    std::vector<std::string> args;
    std::string current;
    bool inArgument = false;
    bool onlyFieldCode = false; // the argument so far is exactly one field code
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == ' ' || c == '\t') {
            if (inArgument && !onlyFieldCode)
                args.push_back(current);
            current.clear();
            inArgument = false;
            onlyFieldCode = false;
            continue;
        }
        const bool startsArgument = !inArgument;
        inArgument = true;
        if (c == '"') {
            onlyFieldCode = false;
            bool closed = false;
            for (++i; i < exec.size(); ++i) {
                if (exec[i] == '"') {
                    closed = true;
                    break;
                }
                if (exec[i] == '\\' && i + 1 < exec.size() && std::strchr("\"`$\\", exec[i + 1]))
                    ++i;
                current.push_back(exec[i]);
            }
            if (!closed)
                return {};
            continue;
        }
        if (std::strchr("'\\><~|&;$*?#()`", c))
            return {};
        if (c == '%' && i + 1 < exec.size()) {
            const char code = exec[++i];
            if (code == '%') {
                current.push_back('%');
                onlyFieldCode = false;
            } else {
                // Field codes expand to nothing here: the application gets no files or URLs.
                onlyFieldCode = startsArgument || onlyFieldCode;
            }
            continue;
        }
        onlyFieldCode = false;
        current.push_back(c);
    }
    if (inArgument && !onlyFieldCode)
        args.push_back(current);
    return args;
}

std::vector<std::string> ApplicationLauncher::launchCommand() const
{
    std::vector<std::string> argv;
    if (const auto entry = findDesktopEntry(kDesktopEntryName)) {
        std::string text;
        if (readWholeFile(*entry, text, 1024 * 1024)) {
            const bool hidden = desktopEntryValue(text, "Hidden").value_or("") == "true";
            if (const auto exec = desktopEntryValue(text, "Exec"); exec && !hidden)
                argv = parseDesktopExec(*exec);
        }
    }
    if (argv.empty()) {
        if (const auto executable = recordedApplicationExecutable(m_root))
            argv.push_back(executable->string());
    }
    if (!argv.empty())
        argv.emplace_back(kBackgroundLaunchArgument);
    return argv;
}

bool ApplicationLauncher::isApplicationRunning() const
{
    // A tarnibar-cli edit holds the same lock for a moment; only the
    // application (or a holder that has not said who it is yet) counts.
    const auto holder = InstanceLock::currentHolder(m_root);
    return holder && holder->holder != InstanceLock::Holder::commandLineTool;
}

void ApplicationLauncher::launchIfNotRunning()
{
    if (isApplicationRunning())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (m_lastLaunch && now - *m_lastLaunch < kRelaunchInterval)
        return;
    // Also when nothing can be started: the complaint below then comes once
    // per interval, not once per browser event.
    m_lastLaunch = now;
    const std::vector<std::string> args = launchCommand();
    if (args.empty()) {
        reportError("Native host cannot start TarniBar: no desktop entry " + std::string(kDesktopEntryName) +
                    " and no recorded executable in " + m_root.string());
        return;
    }

    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    // Without a startup notification token the window manager has no reason
    // to raise anything; the application itself keeps quiet when it sees the
    // background argument.
    std::vector<std::string> envStorage;
    for (char **e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("DESKTOP_STARTUP_ID=") || entry.starts_with("XDG_ACTIVATION_TOKEN="))
            continue;
        envStorage.emplace_back(entry);
    }
    std::vector<char *> envp;
    for (std::string &entry : envStorage)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Never hand our frame stream to the child: its stray output would corrupt it.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // The browser starts us in our own folder; the application should not keep it busy.
    const char *home = std::getenv("HOME");
    posix_spawn_file_actions_addchdir_np(&actions, home && *home == '/' ? home : "/");

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        reportError("Native host cannot start TarniBar (" + args.front() + "): " + std::strerror(rc));
}

} // namespace tarni::host

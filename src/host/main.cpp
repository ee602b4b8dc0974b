// TarniBarChromeHost: started by the browser for the companion extension.
// Relays frames on standard input and output to and from the application's
// queue directories, and starts the application when a person asks for it in
// the browser while it is not running. Serves only our own extension, named
// by the browser's arguments (BrowserCaller.h).

#include "ApplicationLauncher.h"
#include "BrowserCaller.h"
#include "HostBridge.h"

#include "common/DataRoot.h"
#include "common/NativeHostPresence.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    using namespace tarni;
    const std::vector<std::string_view> arguments(argv + std::min(argc, 1), argv + argc);
    std::string callerError;
    if (!host::admittedCaller(arguments, &callerError)) {
        host::reportError(callerError);
        return 1;
    }
    // A closed pipe must show up as a failed write, not kill us silently.
    std::signal(SIGPIPE, SIG_IGN);
    // Started applications are reaped by the kernel; we never wait for them.
    std::signal(SIGCHLD, SIG_IGN);

    // Frames go to a private duplicate of standard output; descriptor 1 then
    // points at standard error, so a stray print can never corrupt the stream.
    const int framesFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (framesFd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        host::reportError("Native host failed: cannot set up standard output");
        return 1;
    }

    const std::filesystem::path root = dataRoot(DataRootMode::normal);
    // The application counts us as a browser connection for as long as we run.
    std::string presenceError;
    const auto presence = NativeHostPresence::announce(nativeHostsDirectory(root), &presenceError);
    if (!presence)
        host::reportError("Native host cannot announce itself: " + presenceError);
    host::ApplicationLauncher launcher(root);
    host::HostBridge::Options options;
    options.root = root;
    options.inputFd = STDIN_FILENO;
    options.outputFd = framesFd;
    options.isApplicationRunning = [&launcher] { return launcher.isApplicationRunning(); };
    options.startApplication = [&launcher] { launcher.launchIfNotRunning(); };

    // Never destroyed on the failure path: the reader thread may still be
    // blocked on standard input and use it.
    auto *bridge = new host::HostBridge(std::move(options));
    std::string error;
    if (!bridge->run(&error)) {
        host::reportError("Native host failed: " + error);
        ::_exit(1);
    }
    delete bridge;
    return 0;
}

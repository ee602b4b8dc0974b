#pragma once

// Runs TarniBarChromeHost as the browser would: frames in on a pipe, frames
// out on another, standard error captured. Used by the host's black-box tests,
// the bridge's round-trip tests and the benchmarks.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tarni::test {

// A fresh directory below `base` (TMPDIR when empty), removed with everything in it.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::filesystem::path &base = {});
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;
    const std::filesystem::path &path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

class HostProcess {
public:
    // Starts the host with `env` ("NAME=value") added to a clean environment
    // (PATH only); the caller decides XDG_DATA_HOME and friends. `arguments`
    // default to what Chromium passes for our extension.
    explicit HostProcess(const std::filesystem::path &program, const std::vector<std::string> &env,
                         std::vector<std::string> arguments = {});
    ~HostProcess();
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    bool started() const { return m_pid > 0; }
    bool writeBytes(const std::string &bytes);
    bool writeFrame(const std::string &body);
    void closeInput();
    // Closes our end of the host's standard output, as a browser that went away would.
    void closeOutput();
    // One frame from the host's standard output, or nothing after `timeout`.
    std::optional<std::string> readFrame(std::chrono::milliseconds timeout);
    // The exit status, or nothing when the host is still running after `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // Everything the host wrote to standard error so far.
    std::string standardError();

private:
    void drainStandardError(int timeoutMs);

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outBuffer;
    std::string m_errBuffer;
    std::optional<int> m_exitStatus;
};

// Polls `predicate` every millisecond until it holds or `timeout` passes.
template <class Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

std::string readFile(const std::filesystem::path &path);
void writeFile(const std::filesystem::path &path, const std::string &bytes);
std::vector<std::string> fileNames(const std::filesystem::path &dir);
unsigned permissions(const std::filesystem::path &path);

} // namespace tarni::test

#include <thread>

template <class Predicate>
bool tarni::test::waitUntil(Predicate predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

#include "HostProcess.h"

#include "common/NativeHostQueue.h"
#include "core/chrome/ChromeExtensionIdentity.h"
#include "common/NativeMessagingFrame.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tarni::test {

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory(const fs::path &base)
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string parent = !base.empty() ? base.string() : tmp && *tmp ? tmp : "/tmp";
    std::string pattern = parent + "/tarni-test-XXXXXX";
    if (::mkdtemp(pattern.data()))
        m_path = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ec;
    if (!m_path.empty())
        fs::remove_all(m_path, ec);
}

HostProcess::HostProcess(const fs::path &program, const std::vector<std::string> &env, std::vector<std::string> arguments)
{
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> environment{"PATH=/usr/local/bin:/usr/bin:/bin"};
    for (const char *keep : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char *value = std::getenv(keep))
            environment.push_back(std::string(keep) + "=" + value);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (std::string &e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string programText = program.string();
    // Like the browser: the caller's origin as the first argument.
    if (arguments.empty())
        arguments.push_back(std::string("chrome-extension://") + kChromeExtensionID + "/");
    std::vector<char *> argv{programText.data()};
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&m_pid, programText.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_in = in[1];
    m_out = out[0];
    m_err = err[0];
    ::fcntl(m_err, F_SETFL, O_NONBLOCK);
}

HostProcess::~HostProcess()
{
    closeInput();
    if (m_pid > 0 && !m_exitStatus) {
        if (!waitForExit(std::chrono::milliseconds(2000))) {
            ::kill(m_pid, SIGKILL);
            int status = 0;
            ::waitpid(m_pid, &status, 0);
        }
    }
    if (m_out >= 0)
        ::close(m_out);
    if (m_err >= 0)
        ::close(m_err);
}

bool HostProcess::writeBytes(const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_in, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool HostProcess::writeFrame(const std::string &body)
{
    char header[kFrameHeaderLength];
    encodeFrameLength(static_cast<std::uint32_t>(body.size()), header);
    return writeBytes(std::string(header, kFrameHeaderLength) + body);
}

void HostProcess::closeInput()
{
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
}

void HostProcess::closeOutput()
{
    if (m_out >= 0) {
        ::close(m_out);
        m_out = -1;
    }
}

std::optional<std::string> HostProcess::readFrame(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (m_outBuffer.size() >= kFrameHeaderLength) {
            const std::uint32_t length = decodeFrameLength(m_outBuffer.data());
            if (m_outBuffer.size() >= kFrameHeaderLength + length) {
                std::string body = m_outBuffer.substr(kFrameHeaderLength, length);
                m_outBuffer.erase(0, kFrameHeaderLength + length);
                return body;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || m_out < 0)
            return std::nullopt;
        pollfd fd{m_out, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = ::read(m_out, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            ::close(m_out);
            m_out = -1;
            continue;
        }
        m_outBuffer.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<int> HostProcess::waitForExit(std::chrono::milliseconds timeout)
{
    if (m_exitStatus)
        return m_exitStatus;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            drainStandardError(0);
            return m_exitStatus;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        drainStandardError(2);
    }
}

void HostProcess::drainStandardError(int timeoutMs)
{
    if (m_err < 0)
        return;
    pollfd fd{m_err, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) <= 0)
        return;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(m_err, buffer, sizeof buffer)) > 0)
        m_errBuffer.append(buffer, static_cast<std::size_t>(n));
}

std::string HostProcess::standardError()
{
    drainStandardError(0);
    return m_errBuffer;
}

std::string readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> fileNames(const fs::path &dir)
{
    return listQueueDirectory(dir).value_or(std::vector<std::string>{});
}

unsigned permissions(const fs::path &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

} // namespace tarni::test

#include "HostBridge.h"

#include "common/AtomicFile.h"
#include "common/DataRoot.h"
#include "common/NativeMessagingFrame.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace tarni::host {

namespace fs = std::filesystem;

void reportError(const std::string &line)
{
    const std::string text = line + "\n";
    const char *data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

HostBridge::HostBridge(Options options)
    : m_options(std::move(options))
    , m_dirs(NativeHostQueueDirectories::under(m_options.root))
    , m_queueWriter(m_dirs.queue)
{
}

HostBridge::~HostBridge()
{
    if (m_reader.joinable())
        m_reader.detach();
    if (m_inotifyFd >= 0)
        ::close(m_inotifyFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool HostBridge::createDirectories(std::string *error)
{
    // Private to the user: queue files carry the user's addresses and titles.
    if (!ensurePrivateDirectory(m_options.root, error))
        return false;
    for (const fs::path *dir : {&m_dirs.queue, &m_dirs.requests, &m_dirs.pending, &m_dirs.responses}) {
        if (!ensurePrivateDirectory(*dir, error))
            return false;
    }
    return true;
}

bool HostBridge::run(std::string *error)
{
    if (!createDirectories(error))
        return false;

    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // inotify only shortens the wait; without it the poll interval still works.
    m_inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (m_inotifyFd >= 0 &&
        ::inotify_add_watch(m_inotifyFd, m_dirs.requests.c_str(),
                            IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
        ::close(m_inotifyFd);
        m_inotifyFd = -1;
    }

    m_reader = std::thread([this] { readLoop(); });

    for (;;) {
        bool readerFailed = false;
        {
            std::lock_guard lock(m_stateLock);
            if (m_fatalError) {
                if (error)
                    *error = *m_fatalError;
                readerFailed = true;
            } else if (!m_isRunning) {
                break;
            }
        }
        if (readerFailed) {
            // The reader stops right after saying so: joined, not left behind.
            m_reader.join();
            return false;
        }
        if (!processPendingRequests(error))
            return false;
        waitForWork();
    }
    m_reader.join();
    return true;
}

void HostBridge::wake()
{
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
}

void HostBridge::waitForWork()
{
    pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {m_inotifyFd, POLLIN, 0}};
    const int count = m_inotifyFd >= 0 ? 2 : 1;
    const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(m_options.pollInterval.count()));
    if (ready <= 0)
        return;
    char buffer[4096];
    if (fds[1].revents & POLLIN) {
        while (::read(m_inotifyFd, buffer, sizeof buffer) > 0) {
        }
    }
    if (fds[0].revents & POLLIN) {
        std::uint64_t value;
        [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &value, sizeof value);
    }
}

namespace {

// A batch is filed at the latest after this many frames or staged bytes, so a
// steady stream still reaches the disk (and the application) promptly.
constexpr std::size_t kMaxFramesPerBatch = 512;
constexpr std::size_t kMaxBytesPerBatch = 8u * 1024u * 1024u;

// What a person did in the browser and wants the application for; everything
// else only updates an application that runs.
bool startsApplication(const EnvelopeHeader &header)
{
    return header.id && (header.messageType == "saveSlackThread" || header.messageType == "captureResult");
}

} // namespace

void HostBridge::readLoop()
{
    std::string body;
    const std::function<void()> fileWhileWaiting = [this] { fileQueuedMessages(); };
    for (;;) {
        const FrameReadResult result = readFrame(m_options.inputFd, body, kMaxInboundMessageLength, fileWhileWaiting);
        if (result.status == FrameReadResult::Status::frame) {
            std::string routeError;
            if (!routeInboundMessage(body, &routeError))
                reportError("Native host routing failed: " + routeError);
            if (++m_framesSinceFiling >= kMaxFramesPerBatch || m_queueWriter.stagedBytes() >= kMaxBytesPerBatch)
                fileQueuedMessages();
            continue;
        }
        fileQueuedMessages();
        std::lock_guard lock(m_stateLock);
        switch (result.status) {
        case FrameReadResult::Status::tooLarge:
        case FrameReadResult::Status::readError:
            // The stream cannot be resynchronised after a length we refuse.
            m_fatalError = result.error;
            break;
        case FrameReadResult::Status::truncated:
            // A partial body can never be a whole envelope; filing it would
            // only start the application for nothing.
            reportError("Native host dropped a message cut off after " + std::to_string(body.size()) + " of " +
                        std::to_string(result.declaredLength) + " bytes");
            m_isRunning = false;
            break;
        case FrameReadResult::Status::frame:
        case FrameReadResult::Status::endOfInput:
            m_isRunning = false;
            break;
        }
        break;
    }
    wake();
}

bool HostBridge::applicationIsRunning()
{
    if (!m_applicationRuns)
        m_applicationRuns = !m_options.isApplicationRunning || m_options.isApplicationRunning();
    return *m_applicationRuns;
}

bool HostBridge::routeInboundMessage(const std::string &body, std::string *error)
{
    const EnvelopeHeader header = m_envelopes.read(body);
    if (header.id) {
        // A reply is filed at once, not with the batch: its command is waiting.
        std::error_code ec;
        const std::string name = queueFileName(*header.id);
        const fs::path marker = m_dirs.pending / name;
        if (fs::exists(marker, ec)) {
            const fs::path response = m_dirs.responses / name;
            fs::remove(response, ec);
            if (!writeFileAtomically(response, body, error))
                return false;
            fs::remove(marker, ec);
            return true;
        }
    }
    const bool starts = startsApplication(header);
    // Nobody would read it; the application asks for fresh state when it starts.
    if (!starts && !applicationIsRunning())
        return true;
    if (!m_queueWriter.stage(header.id.value_or(randomUuidText()), body, error))
        return false;
    m_stagedStartsApplication.push_back(starts);
    return true;
}

void HostBridge::fileQueuedMessages()
{
    m_framesSinceFiling = 0;
    m_applicationRuns.reset();
    if (m_queueWriter.stagedCount() == 0)
        return;
    std::vector<std::string> errors;
    const std::vector<bool> filed = m_queueWriter.commit(errors);
    for (const std::string &error : errors)
        reportError("Native host routing failed: " + error);
    bool start = false;
    for (std::size_t i = 0; i < filed.size(); ++i)
        start = start || (filed[i] && m_stagedStartsApplication[i]);
    m_stagedStartsApplication.clear();
    if (start && m_options.startApplication)
        m_options.startApplication();
}

bool HostBridge::processPendingRequests(std::string *error)
{
    const auto names = listQueueDirectory(m_dirs.requests, error);
    if (!names)
        return false;
    std::set<std::string> refused;
    std::string body;
    for (const std::string &name : *names) {
        const fs::path request = m_dirs.requests / name;
        std::string why;
        switch (readQueueFile(request, body, kMaxOutboundMessageLength, &why)) {
        case QueueFileRead::ok:
            break;
        case QueueFileRead::vanished:
            // Another host on this data root took it.
            continue;
        case QueueFileRead::tooLarge:
            // The browser would refuse it and close the connection; dropping it
            // keeps the queue moving. Of several hosts, the one that removes it says so.
            if (::unlink(request.c_str()) == 0)
                reportError("Native host dropped request " + name + ": larger than the browser accepts (" +
                            std::to_string(kMaxOutboundMessageLength) + " bytes)");
            continue;
        case QueueFileRead::refused:
            // Not ours to remove. Said once while it stays, not at every pass.
            if (!m_refusedRequests.contains(name))
                reportError("Native host skipped " + why);
            refused.insert(name);
            continue;
        }
        // The rename is the claim: of several hosts on this data root only the
        // one whose rename succeeds forwards the request. The marker is in place
        // before the frame leaves, so a fast reply always finds it.
        const fs::path marker = m_dirs.pending / name;
        if (::rename(request.c_str(), marker.c_str()) != 0) {
            const int renameError = errno;
            std::error_code ec;
            if (renameError == ENOENT && !fs::exists(fs::symlink_status(request, ec)))
                continue;
            if (error)
                *error = "cannot move \"" + request.string() + "\" to \"" + marker.string() +
                         "\": " + std::strerror(renameError);
            return false;
        }
        if (!writeFrame(m_options.outputFd, body, error)) {
            // Unsent: give the request back so a later host can forward it.
            ::rename(marker.c_str(), request.c_str());
            return false;
        }
    }
    // Forget entries that are gone, so the set never outgrows the directory.
    m_refusedRequests.swap(refused);
    return true;
}

} // namespace tarni::host

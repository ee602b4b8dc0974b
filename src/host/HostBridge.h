#pragma once

#include "QueueWriter.h"

#include "common/NativeHostQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarni::host {

// Relays between the browser (frames on two file descriptors) and the
// application (the queue directories under the data root). It reads nothing of
// a message but its envelope identifier and type.
//
// Two threads: the calling thread forwards request files as frames (it is the
// only writer of the output descriptor); a reader thread reads frames and files
// them as responses or queue entries. Queue entries are filed in batches:
// whatever arrives while the input keeps coming (up to a limit) costs one
// flush to disk.
class HostBridge {
public:
    struct Options {
        std::filesystem::path root;
        int inputFd = 0;
        int outputFd = 1;
        // Whether the application runs now. Only then are unsolicited
        // messages other than the ones a person caused kept. Unset: it runs.
        std::function<bool()> isApplicationRunning;
        // Called on the reader thread after a message a person caused in the
        // browser was queued.
        std::function<void()> startApplication;
        // Fallback when no directory notification arrives.
        std::chrono::milliseconds pollInterval{100};
    };

    explicit HostBridge(Options options);
    ~HostBridge();
    HostBridge(const HostBridge &) = delete;
    HostBridge &operator=(const HostBridge &) = delete;

    // Runs until the input ends (true) or a fatal error (false, `error` says
    // why). After a fatal error on the calling thread the reader thread may
    // still be blocked on the input; the caller ends the process.
    bool run(std::string *error);

private:
    bool createDirectories(std::string *error);
    void readLoop();
    bool routeInboundMessage(const std::string &body, std::string *error);
    bool applicationIsRunning();
    void fileQueuedMessages();
    bool processPendingRequests(std::string *error);
    void wake();
    void waitForWork();

    Options m_options;
    NativeHostQueueDirectories m_dirs;
    // Reader thread only.
    EnvelopeHeaderReader m_envelopes;
    QueueWriter m_queueWriter;
    std::vector<bool> m_stagedStartsApplication;
    std::size_t m_framesSinceFiling = 0;
    // Asked once per batch: the lock holder is read from /proc/locks.
    std::optional<bool> m_applicationRuns;
    // Request entries that cannot be forwarded (folders, links, FIFOs) and were
    // already reported; calling thread only.
    std::set<std::string> m_refusedRequests;

    std::mutex m_stateLock;
    bool m_isRunning = true;
    std::optional<std::string> m_fatalError;

    int m_inotifyFd = -1;
    int m_wakeFd = -1;
    std::thread m_reader;
};

// Writes one line to standard error in one write(2), so lines of the two
// threads never mix.
void reportError(const std::string &line);

} // namespace tarni::host

#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tarni::host {

// Files unsolicited messages in the queue folder durably, many for the price
// of one flush: each message goes to a temporary file first; commit() flushes
// them to disk together, renames them into place and syncs the folder once.
// Names carry an arrival stamp (queuedMessageFileName), so they sort in
// arrival order; an existing file is never replaced.
class QueueWriter {
public:
    explicit QueueWriter(std::filesystem::path dir);
    // An uncommitted batch leaves no temporary files behind.
    ~QueueWriter();
    QueueWriter(const QueueWriter &) = delete;
    QueueWriter &operator=(const QueueWriter &) = delete;

    // Writes `body` to a temporary file, to be filed under `identifierText`
    // at the next commit. False with a reason when it cannot be written.
    bool stage(std::string_view identifierText, std::string_view body, std::string *error);
    std::size_t stagedCount() const { return m_staged.size(); }
    std::size_t stagedBytes() const { return m_stagedBytes; }

    // Files everything staged, in staging order. The result says for each
    // staged message whether it is now in the folder; `errors` gets a line
    // for each failure.
    std::vector<bool> commit(std::vector<std::string> &errors);

private:
    struct Staged {
        std::string temporary;
        int fd = -1;
        std::uint64_t stamp = 0;
        std::string id;
    };
    std::uint64_t nextStamp();
    bool fileUnderFreeName(Staged &staged, std::string *error);
    void discard(Staged &staged);

    std::filesystem::path m_dir;
    // The folder, opened when a batch begins: its flush and write-back errors.
    int m_batchFd = -1;
    std::vector<Staged> m_staged;
    std::size_t m_stagedBytes = 0;
    std::uint64_t m_lastStamp = 0;
};

} // namespace tarni::host

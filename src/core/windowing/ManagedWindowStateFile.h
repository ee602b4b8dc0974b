#pragma once

#include "windowing/ManagedWindowRecord.h"

#include <QByteArray>
#include <QList>

#include <filesystem>

namespace tarni {

// The windows we moved, kept on disk while they stand beside the sidebar, so
// that a start after a crash can put back what the dead process left
// stranded. Rewritten (atomically) when a window is moved or put back;
// removed when no moved window is left.
class ManagedWindowStateFile {
public:
    static constexpr const char *kFileName = "managed-windows.json";
    // Far above any real content; a larger file is not ours.
    static constexpr qint64 kMaxBytes = 1 << 20;

    explicit ManagedWindowStateFile(std::filesystem::path path);

    // The records the file holds. A missing file gives none; a damaged file
    // (or entry) is logged and ignored.
    QList<ManagedWindowRecord> load() const;
    // Writes the records that can be put back (those with an original frame),
    // or removes the file when there are none. Skips the write when the
    // content has not changed. False when the file could not be written.
    bool save(const QList<ManagedWindowRecord> &records);

    // Records of an earlier process that each save keeps beside the given
    // ones (unless a given one has the same identifier) while they are being
    // put back, so that dying again in the middle loses none of them.
    void setCarriedOver(QList<ManagedWindowRecord> records) { m_carriedOver = std::move(records); }

    static QByteArray encode(const QList<ManagedWindowRecord> &records);
    // Null when the text is not a state document; entries that do not decode
    // are left out and counted in `skipped`.
    static std::optional<QList<ManagedWindowRecord>> decode(const QByteArray &bytes, int *skipped = nullptr);

    const std::filesystem::path &path() const { return m_path; }

private:
    std::filesystem::path m_path;
    std::optional<QByteArray> m_written;
    QList<ManagedWindowRecord> m_carriedOver;
};

} // namespace tarni

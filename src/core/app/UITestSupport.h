#pragma once

#include "opening/ExternalOpening.h"

#include <QList>
#include <QRectF>
#include <QString>
#include <QUrl>

#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace tarni {

// What an automation run did instead of reaching outside the application:
// the URLs it would have opened or revealed and the windows it would have
// moved. Moves are recorded on the window controller's thread, hence the lock.
class UITestSupport {
public:
    struct MovedWindow {
        QString identifier;
        QRectF frame;
        bool operator==(const MovedWindow &) const = default;
    };

    explicit UITestSupport(std::filesystem::path stateFile) : m_stateFile(std::move(stateFile)) {}

    const std::filesystem::path &stateFile() const { return m_stateFile; }

    void recordOpened(const QUrl &url);
    void recordRevealed(const QUrl &url);
    void recordMovedWindow(const QString &identifier, const QRectF &frame);

    QList<QUrl> openedURLs() const;
    QList<QUrl> revealedURLs() const;
    QList<MovedWindow> movedWindows() const;

    // Replaces the state file at once: readers see the old dump or the new one.
    bool writeState(std::string_view json, std::string *error = nullptr) const;

private:
    std::filesystem::path m_stateFile;
    mutable std::mutex m_lock;
    QList<QUrl> m_opened;
    QList<QUrl> m_revealed;
    QList<MovedWindow> m_moved;
};

// The opener of the automation composition: records, opens nothing, and
// answers that it worked.
class RecordingExternalOpener final : public ExternalOpening {
public:
    explicit RecordingExternalOpener(UITestSupport &support) : m_support(support) {}

    bool open(const AcceptedAddress &address) override;
    QCoro::Task<bool> reveal(QUrl fileURL) override;

private:
    UITestSupport &m_support;
};

} // namespace tarni

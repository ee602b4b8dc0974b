#pragma once

#include <QList>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <optional>

namespace tarni {

// One window of a process, as the controller found it.
struct WindowCandidate {
    std::uint64_t handle = 0;
    std::int32_t pid = 0;
    std::optional<QString> title;
    QRectF frame;
};

// The list of a process's windows: the focused one first, then the others in
// the window manager's order, without duplicates.
class WindowCandidateList {
public:
    static constexpr double duplicateFrameTolerance = 2.0;

    // Skips the window when it is already listed: the same handle, or the
    // same title (two absent titles count as the same) with x, y, width and
    // height each within 2 points.
    void append(const WindowCandidate &candidate);

    const QList<WindowCandidate> &windows() const { return m_windows; }
    bool isEmpty() const { return m_windows.isEmpty(); }

    // Lowest score wins; ties go to the earlier window. Score: 1000 when a
    // preferred title is given and the window's differs or is absent, plus
    // the sum of the absolute differences to a preferred frame, plus 100 for
    // an absent or empty title.
    static double score(const WindowCandidate &candidate, const std::optional<QString> &preferredTitle,
                        const std::optional<QRectF> &preferredFrame);
    std::optional<WindowCandidate> best(const std::optional<QString> &preferredTitle,
                                        const std::optional<QRectF> &preferredFrame) const;

private:
    QList<WindowCandidate> m_windows;
};

} // namespace tarni

#include "windowing/WindowCandidates.h"

#include "windowing/WindowGeometry.h"

#include <cmath>

namespace tarni {

void WindowCandidateList::append(const WindowCandidate &candidate)
{
    for (const WindowCandidate &listed : m_windows) {
        if (listed.handle == candidate.handle && candidate.handle != 0)
            return;
        if (listed.title == candidate.title && !isDifferent(listed.frame, candidate.frame, duplicateFrameTolerance))
            return;
    }
    m_windows.append(candidate);
}

double WindowCandidateList::score(const WindowCandidate &candidate, const std::optional<QString> &preferredTitle,
                                  const std::optional<QRectF> &preferredFrame)
{
    double score = 0;
    if (preferredTitle && candidate.title != preferredTitle)
        score += 1000;
    if (preferredFrame) {
        score += std::abs(candidate.frame.x() - preferredFrame->x()) + std::abs(candidate.frame.y() - preferredFrame->y())
            + std::abs(candidate.frame.width() - preferredFrame->width())
            + std::abs(candidate.frame.height() - preferredFrame->height());
    }
    if (!candidate.title || candidate.title->isEmpty())
        score += 100;
    return score;
}

std::optional<WindowCandidate> WindowCandidateList::best(const std::optional<QString> &preferredTitle,
                                                         const std::optional<QRectF> &preferredFrame) const
{
    std::optional<WindowCandidate> best;
    double bestScore = 0;
    for (const WindowCandidate &candidate : m_windows) {
        const double s = score(candidate, preferredTitle, preferredFrame);
        if (!best || s < bestScore) {
            best = candidate;
            bestScore = s;
        }
    }
    return best;
}

} // namespace tarni

#include "platform/compositor/CompositorWindowController.h"

#include "windowing/WindowCandidates.h"
#include "windowing/WindowGeometry.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace tarni {

namespace {

bool isFiniteRect(const QRectF &rect)
{
    return isPlausibleFrame(rect) && rect.width() >= 1 && rect.height() >= 1;
}

bool sameFrame(const QRectF &a, const QRectF &b)
{
    return !isDifferent(a, b, CompositorWindowController::frameTolerance);
}

// Where a window we placed stands after our process died. Some compositors
// (KWin) slide windows left into the edge a vanished reservation freed; such
// a window kept its size and height on the screen and moved left by no more
// than the widest sidebar, so it is still ours, not moved by the user.
bool stillWherePut(const QRectF &now, const QRectF &put)
{
    if (sameFrame(now, put))
        return true;
    constexpr double widestSidebar = 640;
    const double t = CompositorWindowController::frameTolerance;
    const double slid = put.x() - now.x();
    return slid > t && slid <= widestSidebar + t && std::abs(now.y() - put.y()) <= t
        && std::abs(now.width() - put.width()) <= t && std::abs(now.height() - put.height()) <= t;
}

QString executableOf(std::int32_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
}

const CompositorWindow *find(const QList<CompositorWindow> &windows, std::uint64_t handle)
{
    for (const CompositorWindow &window : windows)
        if (window.handle == handle)
            return &window;
    return nullptr;
}

OriginalWindowState stateOf(const CompositorWindow &window)
{
    OriginalWindowState state;
    state.maximizedHorizontally = window.maximized;
    state.maximizedVertically = window.maximized;
    state.minimized = window.minimized;
    state.fullscreen = window.fullscreen;
    state.tiled = window.tiled;
    return state;
}

} // namespace

bool windowBelongsTo(const CompositorWindow &window, const DesktopEntry &application)
{
    if (!window.appId.isEmpty()) {
        QString id = application.id;
        if (id.endsWith(QLatin1String(".desktop")))
            id.chop(8);
        const QString names[] = {id, id.section(QLatin1Char('.'), -1), application.startupWMClass,
                                 QFileInfo(application.executable).fileName()};
        for (const QString &name : names)
            if (!name.isEmpty() && window.appId.compare(name, Qt::CaseInsensitive) == 0)
                return true;
    }
    return window.pid > 0 && !application.executable.isEmpty() && executableOf(window.pid) == application.executable;
}

CompositorWindowController::CompositorWindowController(ManagedWindowRegistry &registry,
                                                       std::unique_ptr<CompositorWindows> windows, Options options)
    : m_registry(registry), m_windows(std::move(windows)), m_options(std::move(options))
{
    if (m_options.ownPid == 0)
        m_options.ownPid = std::int32_t(::getpid());
}

CompositorWindowController::~CompositorWindowController() = default;

PermissionStatus CompositorWindowController::permissionStatus()
{
    return m_windows->isAvailable() ? PermissionStatus::granted : PermissionStatus::denied;
}

void CompositorWindowController::requestPermissionIfNeeded()
{
    // Nothing to prompt for; the next status looks again.
}

std::optional<CompositorWindowController::WindowList> CompositorWindowController::listOthers()
{
    auto windows = m_windows->listWindows();
    if (!windows)
        return std::nullopt;
    // The sidebar and our other windows are never the window meant.
    windows->removeIf([&](const CompositorWindow &w) { return w.handle == 0 || w.pid == m_options.ownPid; });
    return windows;
}

std::optional<CompositorWindow> CompositorWindowController::bestOf(std::int32_t pid, const WindowList &windows,
                                                                  const std::optional<QString> &preferredTitle,
                                                                  const std::optional<QRectF> &preferredFrame)
{
    WindowCandidateList candidates;
    auto consider = [&](const CompositorWindow &w) {
        if (w.pid == pid)
            candidates.append(WindowCandidate{w.handle, w.pid, w.title, w.frame});
    };
    // The focused window first, then the rest in the compositor's order.
    for (const CompositorWindow &w : windows)
        if (w.focused)
            consider(w);
    for (const CompositorWindow &w : windows)
        consider(w);
    const auto best = candidates.best(preferredTitle, preferredFrame);
    if (!best)
        return std::nullopt;
    return *find(windows, best->handle);
}

std::optional<std::int32_t> CompositorWindowController::preferredRunningApplication(const QString &identifier,
                                                                                   const WindowList &windows)
{
    const auto entry = m_options.applications.defaultApplicationForPath(identifier);
    if (!entry)
        return std::nullopt;
    // The newest window of the application decides which of its processes
    // is meant when several run.
    for (auto it = windows.crbegin(); it != windows.crend(); ++it)
        if (it->pid > 0 && windowBelongsTo(*it, *entry))
            return it->pid;
    return std::nullopt;
}

std::optional<CompositorWindow> CompositorWindowController::resolveRecord(const ManagedWindowRecord &record,
                                                                         const WindowList &windows)
{
    if (record.windowHandle) {
        // The very window that was moved, or none: another window of the
        // same application never takes a vanished window's place.
        const CompositorWindow *window = find(windows, *record.windowHandle);
        if (!window || (record.appPID && window->pid > 0 && window->pid != *record.appPID))
            return std::nullopt;
        return *window;
    }
    const std::optional<QRectF> preferredFrame = record.currentFrame ? record.currentFrame : record.originalFrame;
    if (record.appPID) {
        if (auto window = bestOf(*record.appPID, windows, record.windowTitle, preferredFrame))
            return window;
    }
    const auto pid = preferredRunningApplication(record.identifier, windows);
    if (!pid)
        return std::nullopt;
    return bestOf(*pid, windows, record.windowTitle, preferredFrame);
}

std::optional<CompositorWindow> CompositorWindowController::resolve(const QString &identifier, const WindowList &windows)
{
    if (const auto record = m_registry.record(identifier)) {
        if (auto window = resolveRecord(*record, windows))
            return window;
    }
    if (const auto pid = preferredRunningApplication(identifier, windows)) {
        if (auto window = bestOf(*pid, windows, std::nullopt, std::nullopt))
            return window;
    }
    for (const CompositorWindow &w : windows)
        if (w.focused)
            return w;
    return std::nullopt;
}

bool CompositorWindowController::moveWindow(const QString &identifier, const QRectF &frame)
{
    if (!isFiniteRect(frame) || !m_windows->isAvailable())
        return false;
    const auto windows = listOthers();
    if (!windows)
        return false;
    const auto window = resolve(identifier, *windows);
    return window && moveResolved(identifier, *window, frame);
}

bool CompositorWindowController::moveResolved(const QString &identifier, const CompositorWindow &window,
                                              const QRectF &target)
{
    // A record whose window is gone belongs to that window: the new window
    // starts a record of its own, so it goes back to where it was itself.
    if (const auto old = m_registry.record(identifier); old && old->windowHandle) {
        const bool otherWindow = *old->windowHandle != window.handle;
        const bool otherProcess = old->appPID && window.pid > 0 && *old->appPID != window.pid;
        if (otherWindow || otherProcess)
            m_registry.removeRecord(identifier);
    }
    ManagedWindowRegistry::Registration registration;
    registration.originalFrame = window.frame;
    if (window.pid > 0)
        registration.appPID = window.pid;
    registration.windowTitle = window.title;
    registration.originalState = stateOf(window);
    registration.windowHandle = window.handle;
    m_registry.registerWindow(identifier, registration);

    // Recorded before the move: a process killed while the window travels
    // leaves a record saying where it was going, so that the next start
    // recognises it there as ours to put back.
    m_registry.updateCurrentFrame(identifier, target);
    if (!m_windows->placeWindow(window.handle, target))
        return false;
    if (const auto now = listOthers())
        if (const CompositorWindow *placed = find(*now, window.handle))
            m_registry.updateCurrentFrame(identifier, placed->frame);
    return true;
}

bool CompositorWindowController::restoreRecord(const ManagedWindowRecord &record, const WindowList &windows)
{
    const auto window = resolveRecord(record, windows);
    if (!window || !record.originalFrame || !isFiniteRect(*record.originalFrame))
        return false;
    const OriginalWindowState state = record.originalState.value_or(OriginalWindowState{});
    const QRectF frame = state.normalFrame && isFiniteRect(*state.normalFrame) ? *state.normalFrame
                                                                               : *record.originalFrame;
    if (!m_windows->restoreWindow(window->handle, frame, state))
        return false;
    m_registry.removeRecord(record.identifier);
    return true;
}

int CompositorWindowController::restoreManagedWindows()
{
    if (!m_windows->isAvailable())
        return 0;
    const auto windows = listOthers();
    if (!windows)
        return 0;
    int restored = 0;
    for (const ManagedWindowRecord &record : m_registry.recordsNeedingRestore())
        if (restoreRecord(record, *windows))
            ++restored;
    return restored;
}

int CompositorWindowController::restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records)
{
    if (!m_windows->isAvailable())
        return 0;
    const auto windows = listOthers();
    if (!windows)
        return 0;
    int restored = 0;
    for (const ManagedWindowRecord &record : records) {
        // Only the very window that was moved, still held by the same process.
        if (!record.windowHandle || !record.appPID || !record.originalFrame || !record.currentFrame
            || !isFiniteRect(*record.currentFrame) || m_registry.record(record.identifier))
            continue;
        const auto window = resolveRecord(record, *windows);
        // A window that left the place we gave it was moved by the user since:
        // where it is now is theirs.
        if (!window || window->minimized || !stillWherePut(window->frame, *record.currentFrame))
            continue;
        // Kept in the registry until it is back, so that a failure here is
        // tried again when this process quits.
        m_registry.insertRecord(record);
        if (restoreRecord(record, *windows))
            ++restored;
    }
    return restored;
}

WindowBaseline CompositorWindowController::windowBaseline()
{
    WindowBaseline baseline;
    if (!m_windows->isAvailable())
        return baseline;
    const auto windows = listOthers();
    if (!windows)
        return baseline;
    baseline.taken = true;
    for (const CompositorWindow &w : *windows) {
        baseline.windows.append(w.handle);
        baseline.titles.insert(w.handle, w.title);
        if (w.focused)
            baseline.activeWindow = w.handle;
    }
    return baseline;
}

std::optional<CompositorWindow> CompositorWindowController::openedWindow(const OpenedWindowRequest &request,
                                                                        const DesktopEntry &application,
                                                                        const WindowList &windows)
{
    const auto &before = request.baseline;
    // A window that was not there before the request; the newest first.
    for (auto it = windows.crbegin(); it != windows.crend(); ++it)
        if (!before.windows.contains(it->handle) && windowBelongsTo(*it, application))
            return *it;
    // Or an existing window that took the item: it became active, or its
    // title took the item's name, since the request.
    if (request.itemName.isEmpty())
        return std::nullopt;
    for (const CompositorWindow &w : windows) {
        if (!w.focused || !before.windows.contains(w.handle) || !windowBelongsTo(w, application)
            || !w.title.contains(request.itemName))
            continue;
        const bool becameActive = before.activeWindow != w.handle;
        const bool tookTheName = !before.titles.value(w.handle).contains(request.itemName);
        if (becameActive || tookTheName)
            return w;
    }
    return std::nullopt;
}

bool CompositorWindowController::moveOpenedWindow(const OpenedWindowRequest &request)
{
    if (!request.baseline.taken || !isFiniteRect(request.frame) || !m_windows->isAvailable())
        return false;
    const auto application = m_options.applications.applicationOf(request);
    if (!application)
        return false; // nobody can tell which window is the item's
    QDeadlineTimer deadline(std::max(0, request.timeoutMs));
    for (;;) {
        if (const auto windows = listOthers()) {
            // A window still being mapped has no size yet and cannot be placed.
            const auto window = openedWindow(request, *application, *windows);
            if (window && window->frame.width() >= 1 && window->frame.height() >= 1)
                return moveResolved(request.identifier, *window, request.frame);
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(std::uint64_t(std::clamp<qint64>(deadline.remainingTime(), 0, m_options.pollIntervalMs)));
    }
}

} // namespace tarni

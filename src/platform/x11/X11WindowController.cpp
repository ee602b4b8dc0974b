#include "platform/x11/X11WindowController.h"

#include "platform/x11/X11Display.h"
#include "platform/x11/X11Logging.h"
#include "windowing/WindowGeometry.h"

#include <QFileInfo>

#include <chrono>
#include <cmath>
#include <unistd.h>

namespace tarni {

namespace {

// Recorded frames are device pixels already; X11 has whole ones, and edges
// are rounded so adjacent rectangles stay adjacent.
QRect toPixels(const QRectF &rect)
{
    const int left = int(std::lround(rect.left()));
    const int top = int(std::lround(rect.top()));
    const int right = int(std::lround(rect.left() + rect.width()));
    const int bottom = int(std::lround(rect.top() + rect.height()));
    return QRect(left, top, right - left, bottom - top);
}

QString executableOf(std::int32_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath();
}

} // namespace

X11WindowController::X11WindowController(ManagedWindowRegistry &registry, Options options)
    : m_registry(registry), m_options(std::move(options))
{
}

X11WindowController::~X11WindowController() = default;

QRect X11WindowController::toDevice(const QRectF &logical) const
{
    return m_options.screens ? m_options.screens->forLogical(logical).toDevice(logical) : toPixels(logical);
}

X11Display *X11WindowController::display()
{
    return m_display.get();
}

bool X11WindowController::isGranted()
{
    // The server may have gone and come back (or a display may appear later
    // in the session); a broken connection is replaced here, at the start of
    // an operation and never in the middle of one.
    if (!m_display || m_display->hasError())
        m_display = X11Display::open(m_options.displayName);
    return m_display && m_display->windowManagerIsRunning();
}

PermissionStatus X11WindowController::permissionStatus()
{
    return isGranted() ? PermissionStatus::granted : PermissionStatus::denied;
}

void X11WindowController::requestPermissionIfNeeded()
{
    // There is nothing to prompt for on X11; looking again picks up a
    // display or window manager that appeared since.
    (void)isGranted();
}

std::optional<X11WindowController::ResolvedWindow> X11WindowController::describe(std::uint32_t window)
{
    X11Display *d = display();
    const auto frame = d->outerFrame(window);
    if (!frame)
        return std::nullopt;
    return ResolvedWindow{window, d->processOf(window).value_or(0), d->titleOf(window), QRectF(*frame)};
}

WindowCandidateList X11WindowController::windowsOfProcess(std::int32_t pid)
{
    X11Display *d = display();
    WindowCandidateList list;
    auto consider = [&](xcb_window_t window) {
        if (d->isDockOrDesktop(window) || d->processOf(window) != pid)
            return;
        if (const auto w = describe(window))
            list.append(WindowCandidate{w->window, w->appPID, w->title, w->frame});
    };
    if (const auto active = d->activeWindow())
        consider(*active);
    for (xcb_window_t window : d->clientList())
        consider(window);
    return list;
}

std::optional<X11WindowController::ResolvedWindow>
X11WindowController::bestWindow(std::int32_t pid, const std::optional<QString> &preferredTitle,
                                const std::optional<QRectF> &preferredFrame)
{
    const auto best = windowsOfProcess(pid).best(preferredTitle, preferredFrame);
    if (!best)
        return std::nullopt;
    return ResolvedWindow{std::uint32_t(best->handle), best->pid, best->title, best->frame};
}

std::optional<std::int32_t> X11WindowController::preferredRunningApplication(const QString &identifier)
{
    const auto entry = m_options.applications.defaultApplicationForPath(identifier);
    if (!entry)
        return std::nullopt;
    X11Display *d = display();
    // The topmost window of the application decides which of its processes
    // is meant when several run.
    const QList<xcb_window_t> stacking = d->clientListStacking();
    for (auto it = stacking.crbegin(); it != stacking.crend(); ++it) {
        const auto pid = d->processOf(*it);
        if (!pid)
            continue;
        const bool sameProgram = !entry->executable.isEmpty() && executableOf(*pid) == entry->executable;
        const bool sameClass = !entry->startupWMClass.isEmpty() && d->classOf(*it).contains(entry->startupWMClass);
        if (sameProgram || sameClass)
            return pid;
    }
    return std::nullopt;
}

std::optional<std::int32_t> X11WindowController::frontmostApplication()
{
    X11Display *d = display();
    const auto active = d->activeWindow();
    if (!active)
        return std::nullopt;
    const auto pid = d->processOf(*active);
    // The sidebar itself may hold the focus; it is never the window meant.
    if (!pid || *pid == std::int32_t(::getpid()))
        return std::nullopt;
    return pid;
}

std::optional<X11WindowController::ResolvedWindow> X11WindowController::resolveRecordWindow(const ManagedWindowRecord &record)
{
    X11Display *d = display();
    if (record.windowHandle) {
        // The very window that was moved, or none: another window of the
        // same application must never take a vanished window's place.
        const auto window = std::uint32_t(*record.windowHandle);
        if (!d->isManagedClient(window))
            return std::nullopt;
        auto resolved = describe(window);
        if (resolved && record.appPID && resolved->appPID != *record.appPID)
            return std::nullopt; // the id was reused by another client
        return resolved;
    }
    const std::optional<QRectF> preferredFrame = record.currentFrame ? record.currentFrame : record.originalFrame;
    if (record.appPID) {
        if (auto window = bestWindow(*record.appPID, record.windowTitle, preferredFrame))
            return window;
    }
    const auto pid = preferredRunningApplication(record.identifier);
    if (!pid)
        return std::nullopt;
    return bestWindow(*pid, record.windowTitle, preferredFrame);
}

std::optional<X11WindowController::ResolvedWindow> X11WindowController::resolveWindow(const QString &identifier)
{
    if (const auto record = m_registry.record(identifier)) {
        if (auto window = resolveRecordWindow(*record))
            return window;
    }
    if (const auto pid = preferredRunningApplication(identifier)) {
        if (auto window = bestWindow(*pid, std::nullopt, std::nullopt))
            return window;
    }
    if (const auto pid = frontmostApplication())
        return bestWindow(*pid, std::nullopt, std::nullopt);
    return std::nullopt;
}

bool X11WindowController::bringToNormalState(std::uint32_t window)
{
    X11Display *d = display();
    const auto state = d->windowState(window);
    if (!state)
        return false;
    d->watch(window);
    const int timeout = m_options.answerTimeoutMs;
    if (state->hidden) {
        // Activation is the EWMH way to de-iconify; openbox animates it.
        d->requestActivate(window);
        if (!d->waitUntil(timeout * 2, [&] {
                const auto s = d->windowState(window);
                return s && !s->hidden && d->isViewable(window);
            })) {
            qCDebug(lcX11) << "window" << window << "did not come back from minimised";
            return false;
        }
    }
    if (state->fullscreen) {
        d->requestState(window, false, d->ewmh()->_NET_WM_STATE_FULLSCREEN);
        if (!d->waitUntil(timeout, [&] {
                const auto s = d->windowState(window);
                return s && !s->fullscreen;
            }))
            return false;
    }
    if (state->isMaximized()) {
        // Maximised windows ignore moves until both flags are gone.
        d->requestState(window, false, d->ewmh()->_NET_WM_STATE_MAXIMIZED_VERT,
                        d->ewmh()->_NET_WM_STATE_MAXIMIZED_HORZ);
        if (!d->waitUntil(timeout, [&] {
                const auto s = d->windowState(window);
                return s && !s->isMaximized();
            }))
            return false;
    }
    return true;
}

bool X11WindowController::frameMatches(std::uint32_t window, const QRect &target)
{
    X11Display *d = display();
    const auto frame = d->outerFrame(window);
    if (!frame || frame->topLeft() != target.topLeft())
        return false;
    // Windows with size increments (terminals) snap to their grid; any size
    // within one increment of the target is as close as they can get.
    const X11Display::SizeHints hints = d->sizeHints(window);
    const int dw = std::abs(frame->width() - target.width());
    const int dh = std::abs(frame->height() - target.height());
    return (dw == 0 || dw < hints.widthIncrement) && (dh == 0 || dh < hints.heightIncrement);
}

bool X11WindowController::setFrame(std::uint32_t window, const QRect &target)
{
    X11Display *d = display();
    d->watch(window);
    if (frameMatches(window, target))
        return true;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Read the extents on every attempt: they change with the state
        // (openbox drops the border of maximised windows) a moment after the
        // state itself does.
        const X11Display::FrameExtents e = d->frameExtents(window);
        // x, y place the outer frame (NorthWest gravity); width and height
        // are the client's.
        const QRect request(target.x(), target.y(), target.width() - e.left - e.right,
                            target.height() - e.top - e.bottom);
        if (request.width() < 1 || request.height() < 1)
            return false;
        if (attempt > 0) {
            // The window manager drops a request equal to the geometry it
            // believes the client has (which can lag behind what is shown);
            // a one-pixel step first makes the real request a change.
            const auto before = d->outerFrame(window);
            d->requestMoveResize(window, request.translated(1, 0));
            d->waitUntil(std::min(m_options.answerTimeoutMs, 100), [&] { return d->outerFrame(window) != before; });
        }
        d->requestMoveResize(window, request);
        if (d->waitUntil(m_options.answerTimeoutMs, [&] { return frameMatches(window, target); }))
            return true;
    }
    qCDebug(lcX11) << "window" << window << "did not reach" << target << "but" << d->outerFrame(window).value_or(QRect());
    return false;
}

void X11WindowController::reapplyState(std::uint32_t window, const OriginalWindowState &state)
{
    X11Display *d = display();
    const int timeout = m_options.answerTimeoutMs;
    if (state.desktop && d->desktopOf(window) != state.desktop) {
        d->requestDesktop(window, *state.desktop);
        d->waitUntil(timeout, [&] { return d->desktopOf(window) == state.desktop; });
    }
    if (state.maximizedHorizontally || state.maximizedVertically) {
        const xcb_atom_t vert = d->ewmh()->_NET_WM_STATE_MAXIMIZED_VERT;
        const xcb_atom_t horz = d->ewmh()->_NET_WM_STATE_MAXIMIZED_HORZ;
        d->requestState(window, true, state.maximizedVertically ? vert : horz,
                        state.maximizedVertically && state.maximizedHorizontally ? horz : xcb_atom_t(XCB_ATOM_NONE));
        d->waitUntil(timeout, [&] {
            const auto s = d->windowState(window);
            return s && s->maximizedHorizontally == state.maximizedHorizontally
                && s->maximizedVertically == state.maximizedVertically;
        });
    }
    if (state.fullscreen) {
        d->requestState(window, true, d->ewmh()->_NET_WM_STATE_FULLSCREEN);
        d->waitUntil(timeout, [&] {
            const auto s = d->windowState(window);
            return s && s->fullscreen;
        });
    }
    if (state.minimized) {
        d->requestIconify(window);
        d->waitUntil(timeout * 2, [&] {
            const auto s = d->windowState(window);
            return s && s->hidden;
        });
    }
}

bool X11WindowController::moveWindow(const QString &identifier, const QRectF &frame)
{
    if (!isGranted() || !isPlausibleFrame(frame))
        return false;
    const QRect target = toDevice(frame);
    if (target.width() < 1 || target.height() < 1)
        return false;
    const auto resolved = resolveWindow(identifier);
    if (!resolved)
        return false;
    return moveResolved(identifier, *resolved, target);
}

bool X11WindowController::moveResolved(const QString &identifier, const ResolvedWindow &resolved,
                                       const QRect &target)
{
    X11Display *d = display();
    const std::uint32_t window = resolved.window;

    // A record whose window is gone belongs to that window: the new window
    // starts a record of its own, so it goes back to where it was itself.
    // The server hands out window ids again, so the process tells too.
    if (const auto old = m_registry.record(identifier); old && old->windowHandle) {
        const bool otherWindow = *old->windowHandle != window;
        const bool otherProcess = old->appPID && resolved.appPID > 0 && *old->appPID != resolved.appPID;
        if (otherWindow || otherProcess)
            m_registry.removeRecord(identifier);
    }

    const auto state = d->windowState(window).value_or(X11Display::WindowState{});
    OriginalWindowState original;
    original.maximizedHorizontally = state.maximizedHorizontally;
    original.maximizedVertically = state.maximizedVertically;
    // Windows on other desktops are unmapped too; only the hidden state
    // says minimised.
    original.minimized = state.hidden;
    original.fullscreen = state.fullscreen;
    original.desktop = d->desktopOf(window);

    ManagedWindowRegistry::Registration registration;
    registration.originalFrame = resolved.frame;
    if (resolved.appPID > 0)
        registration.appPID = resolved.appPID;
    registration.windowTitle = resolved.title;
    registration.originalState = original;
    registration.windowHandle = window;
    m_registry.registerWindow(identifier, registration);

    // The content area is beside a sidebar that shows on every desktop; a
    // window elsewhere is brought to the one in view first, so that
    // de-iconifying it does not take the user to its desktop.
    const auto current = d->currentDesktop();
    if (original.desktop && current && *original.desktop != *current) {
        d->requestDesktop(window, *current);
        d->waitUntil(m_options.answerTimeoutMs, [&] { return d->desktopOf(window) == current; });
    }
    if (!bringToNormalState(window))
        return false;
    if (original.isMaximized() || original.fullscreen) {
        // The frame follows the state change a moment later; a window that
        // had no smaller size keeps its frame, and the wait just ends.
        // openbox gives the border back and restores its remembered size in
        // separate steps, so wait until the frame has left the enlarged one
        // and then held still for a moment.
        const QRect enlarged = resolved.frame.toRect();
        std::optional<QRect> last;
        auto settledSince = std::chrono::steady_clock::now();
        d->waitUntil(m_options.answerTimeoutMs, [&] {
            const auto now = d->outerFrame(window);
            if (now != last) {
                last = now;
                settledSince = std::chrono::steady_clock::now();
                return false;
            }
            return now && *now != enlarged && std::chrono::steady_clock::now() - settledSince > std::chrono::milliseconds(40);
        });
        if (const auto normal = d->outerFrame(window))
            m_registry.updateOriginalNormalFrame(identifier, QRectF(*normal));
    }
    // Recorded before the move: a process killed while the window travels
    // leaves a record saying where it was going, so that the next start
    // recognises it there as ours to put back.
    m_registry.updateCurrentFrame(identifier, QRectF(target));
    if (!setFrame(window, target))
        return false;
    m_registry.updateCurrentFrame(identifier, QRectF(d->outerFrame(window).value_or(target)));
    return true;
}

bool X11WindowController::restoreRecord(const ManagedWindowRecord &record)
{
    const auto resolved = resolveRecordWindow(record);
    if (!resolved)
        return false;
    const std::uint32_t window = resolved->window;
    if (!bringToNormalState(window))
        return false;
    const auto &state = record.originalState;
    const bool wasEnlarged = state && (state->isMaximized() || state->fullscreen);
    const QRectF frame = wasEnlarged && state->normalFrame ? *state->normalFrame : *record.originalFrame;
    if (!isPlausibleFrame(frame) || !setFrame(window, toPixels(frame)))
        return false;
    if (state)
        reapplyState(window, *state);
    m_registry.removeRecord(record.identifier);
    return true;
}

int X11WindowController::restoreManagedWindows()
{
    if (!isGranted())
        return 0;
    int restored = 0;
    for (const ManagedWindowRecord &record : m_registry.recordsNeedingRestore()) {
        if (restoreRecord(record))
            ++restored;
    }
    return restored;
}

int X11WindowController::restoreWindowsLeftBehind(const QList<ManagedWindowRecord> &records)
{
    if (!isGranted())
        return 0;
    int restored = 0;
    for (const ManagedWindowRecord &record : records) {
        // Only the very window that was moved: its id, still held by the same
        // process (ids are handed out again, and a new X session starts over).
        if (!record.windowHandle || !record.appPID || !record.originalFrame || !record.currentFrame
            || !isPlausibleFrame(*record.currentFrame) || m_registry.record(record.identifier))
            continue;
        const auto resolved = resolveRecordWindow(record);
        // A window that left the place we gave it was moved by the user since:
        // where it is now is theirs.
        if (!resolved || !frameMatches(resolved->window, toPixels(*record.currentFrame)))
            continue;
        // Kept in the registry until it is back, so that a failure here is
        // tried again when this process quits.
        m_registry.insertRecord(record);
        if (restoreRecord(record))
            ++restored;
    }
    return restored;
}

WindowBaseline X11WindowController::windowBaseline()
{
    WindowBaseline baseline;
    if (!isGranted())
        return baseline;
    X11Display *d = display();
    baseline.taken = true;
    for (xcb_window_t window : d->clientList()) {
        baseline.windows.append(window);
        baseline.titles.insert(window, d->titleOf(window).value_or(QString()));
    }
    if (const auto active = d->activeWindow())
        baseline.activeWindow = *active;
    return baseline;
}

bool X11WindowController::belongsTo(std::uint32_t window, const DesktopEntry &application)
{
    X11Display *d = display();
    // Browsers change the case (and, with a profile of their own, the
    // instance part) of their WM_CLASS; the class part keeps the name.
    if (!application.startupWMClass.isEmpty()
        && d->classOf(window).contains(application.startupWMClass, Qt::CaseInsensitive))
        return true;
    const auto pid = d->processOf(window);
    return pid && !application.executable.isEmpty() && executableOf(*pid) == application.executable;
}

std::optional<std::uint32_t> X11WindowController::openedWindow(const OpenedWindowRequest &request,
                                                                const DesktopEntry &application)
{
    X11Display *d = display();
    const auto &before = request.baseline;
    // A window that was not there before the request; the newest first.
    const QList<xcb_window_t> stacking = d->clientListStacking();
    for (auto it = stacking.crbegin(); it != stacking.crend(); ++it) {
        if (!before.windows.contains(*it) && !d->isDockOrDesktop(*it) && belongsTo(*it, application))
            return *it;
    }
    // Or an existing window that took the item: it became active, or its
    // title took the item's name, since the request.
    const auto active = d->activeWindow();
    if (!active || !before.windows.contains(*active) || request.itemName.isEmpty() || !belongsTo(*active, application))
        return std::nullopt;
    const QString title = d->titleOf(*active).value_or(QString());
    if (!title.contains(request.itemName))
        return std::nullopt;
    const bool becameActive = before.activeWindow != std::uint64_t(*active);
    const bool tookTheName = !before.titles.value(*active).contains(request.itemName);
    if (becameActive || tookTheName)
        return *active;
    return std::nullopt;
}

bool X11WindowController::moveOpenedWindow(const OpenedWindowRequest &request)
{
    if (!request.baseline.taken || !isGranted() || !isPlausibleFrame(request.frame))
        return false;
    const QRect target = toDevice(request.frame);
    if (target.width() < 1 || target.height() < 1)
        return false;
    const auto application = m_options.applications.applicationOf(request);
    if (!application)
        return false; // nobody can tell which window is the item's
    X11Display *d = display();
    std::optional<std::uint32_t> window;
    // Property changes on the root (the client list, the active window)
    // wake the wait; the window's own title is read on every pass.
    d->watch(d->root());
    d->waitUntil(request.timeoutMs, [&] {
        window = openedWindow(request, *application);
        // A window that is mapped but not yet framed cannot be placed yet.
        return window && d->outerFrame(*window);
    });
    if (!window || !d->outerFrame(*window))
        return false;
    const auto resolved = describe(*window);
    return resolved && moveResolved(request.identifier, *resolved, target);
}

} // namespace tarni

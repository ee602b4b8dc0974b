#pragma once

#include "windowing/AXWindowControlling.h"
#include "windowing/ManagedWindowRegistry.h"

#include <QHash>
#include <QList>

#include <functional>

namespace tarni {

// The window controller of the automation composition: it moves nothing and
// records every move and restore instead, over simulated windows, so that the
// layers above see the same registry behaviour as with real windows.
class UITestAXWindowController final : public AXWindowControlling {
public:
    struct Move {
        QString identifier;
        QRectF frame;
        bool operator==(const Move &) const = default;
    };

    // Where a window that nobody placed is taken to be.
    static QRectF defaultWindowFrame() { return QRectF(120, 120, 900, 640); }

    // The registry must outlive the controller.
    UITestAXWindowController(ManagedWindowRegistry &registry, PermissionStatus simulatedPermission);

    PermissionStatus permissionStatus() override { return m_permission; }
    void requestPermissionIfNeeded() override {}
    bool moveWindow(const QString &identifier, const QRectF &frame) override;
    int restoreManagedWindows() override;
    WindowBaseline windowBaseline() override { return {}; }
    // The simulated window of the identifier is taken to be the new one.
    bool moveOpenedWindow(const OpenedWindowRequest &request) override;

    void setSimulatedPermission(PermissionStatus status) { m_permission = status; }
    // Gives the simulated window of an identifier a frame, as if it had opened there.
    void setWindowFrame(const QString &identifier, const QRectF &frame) { m_frames.insert(identifier, frame); }
    // Makes the window of an identifier disappear (or come back).
    void setWindowMissing(const QString &identifier, bool missing);
    std::optional<QRectF> windowFrame(const QString &identifier) const;

    const QList<Move> &movedWindows() const { return m_moves; }
    const QList<Move> &restoredWindows() const { return m_restores; }
    // Called for every recorded move, e.g. to write it into the automation state.
    void setMoveObserver(std::function<void(const Move &)> observer) { m_moveObserver = std::move(observer); }

private:
    ManagedWindowRegistry &m_registry;
    PermissionStatus m_permission;
    QHash<QString, QRectF> m_frames;
    QHash<QString, bool> m_missing;
    QList<Move> m_moves;
    QList<Move> m_restores;
    std::function<void(const Move &)> m_moveObserver;
};

} // namespace tarni

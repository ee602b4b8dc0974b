#include "windowing/UITestAXWindowController.h"

#include <QFileInfo>

namespace tarni {

UITestAXWindowController::UITestAXWindowController(ManagedWindowRegistry &registry,
                                                   PermissionStatus simulatedPermission)
    : m_registry(registry), m_permission(simulatedPermission)
{
}

void UITestAXWindowController::setWindowMissing(const QString &identifier, bool missing)
{
    if (missing)
        m_missing.insert(identifier, true);
    else
        m_missing.remove(identifier);
}

std::optional<QRectF> UITestAXWindowController::windowFrame(const QString &identifier) const
{
    if (m_missing.contains(identifier))
        return std::nullopt;
    return m_frames.value(identifier, defaultWindowFrame());
}

bool UITestAXWindowController::moveWindow(const QString &identifier, const QRectF &frame)
{
    if (m_permission != PermissionStatus::granted)
        return false;
    const auto present = windowFrame(identifier);
    if (!present)
        return false;
    const QString title = QFileInfo(identifier).fileName();
    m_registry.registerWindow(identifier, *present, std::nullopt,
                              title.isEmpty() ? std::nullopt : std::optional<QString>(title));
    m_frames.insert(identifier, frame);
    m_registry.updateCurrentFrame(identifier, frame);
    m_moves.append(Move{identifier, frame});
    if (m_moveObserver)
        m_moveObserver(m_moves.constLast());
    return true;
}

bool UITestAXWindowController::moveOpenedWindow(const OpenedWindowRequest &request)
{
    return moveWindow(request.identifier, request.frame);
}

int UITestAXWindowController::restoreManagedWindows()
{
    if (m_permission != PermissionStatus::granted)
        return 0;
    int restored = 0;
    for (const ManagedWindowRecord &record : m_registry.recordsNeedingRestore()) {
        if (m_missing.contains(record.identifier))
            continue;
        m_frames.insert(record.identifier, *record.originalFrame);
        m_restores.append(Move{record.identifier, *record.originalFrame});
        m_registry.removeRecord(record.identifier);
        ++restored;
    }
    return restored;
}

} // namespace tarni

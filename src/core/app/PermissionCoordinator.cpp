#include "app/PermissionCoordinator.h"

namespace tarni {

PermissionCoordinator::PermissionCoordinator(AsyncWindowController &controller, PermissionStatus initial,
                                             QObject *parent)
    : QObject(parent), m_controller(&controller), m_status(initial)
{
}

QCoro::Task<> PermissionCoordinator::refresh()
{
    QPointer<PermissionCoordinator> self(this);
    if (!m_controller)
        co_return;
    const PermissionStatus status = co_await m_controller->permissionStatus();
    if (self)
        self->publish(status);
}

QCoro::Task<> PermissionCoordinator::requestPermission()
{
    QPointer<PermissionCoordinator> self(this);
    if (!m_controller)
        co_return;
    co_await m_controller->requestPermissionIfNeeded();
    if (self)
        co_await self->refresh();
}

void PermissionCoordinator::publish(PermissionStatus status)
{
    m_status = status;
    Q_EMIT accessibilityStatusChanged();
}

} // namespace tarni

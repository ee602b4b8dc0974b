#pragma once

#include "windowing/AsyncWindowController.h"
#include "windowing/PermissionStatus.h"

#include <QObject>
#include <QPointer>

namespace tarni {

// The last known permission to move other applications' windows, as the
// views and the open requests read it. It changes only when asked to look
// again: at launch and after a request.
class PermissionCoordinator : public QObject {
    Q_OBJECT
public:
    // `initial` is the controller's state when the composition was built.
    PermissionCoordinator(AsyncWindowController &controller, PermissionStatus initial, QObject *parent = nullptr);

    PermissionStatus accessibilityStatus() const { return m_status; }

    QCoro::Task<> refresh();
    QCoro::Task<> requestPermission();

Q_SIGNALS:
    void accessibilityStatusChanged();

private:
    void publish(PermissionStatus status);

    QPointer<AsyncWindowController> m_controller;
    PermissionStatus m_status;
};

} // namespace tarni

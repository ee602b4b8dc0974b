#include "gui/settings/PermissionStatusView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "app/PermissionCoordinator.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarni {

PermissionStatusView::PermissionStatusView(AppModel &model, AppActions &actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(actions)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("permissionStatus"));
    m_status->setWordWrap(true);
    m_checkAgain = new QPushButton(this);
    m_checkAgain->setObjectName(QStringLiteral("checkPermissionAgain"));
    layout->addWidget(m_status);
    layout->addWidget(m_checkAgain, 0, Qt::AlignLeft);

    PermissionCoordinator *coordinator = m_model.dependencies().permissionCoordinator;
    m_checkAgain->setEnabled(coordinator != nullptr);
    connect(m_checkAgain, &QPushButton::clicked, this, [this] {
        PermissionCoordinator *coordinator = m_model.dependencies().permissionCoordinator;
        if (!coordinator)
            return;
        m_checkAgain->setEnabled(false);
        QPointer<QPushButton> button(m_checkAgain);
        m_actions.runLong(nullptr, [coordinator, button]() -> QCoro::Task<> {
            co_await coordinator->requestPermission();
            if (button)
                button->setEnabled(true);
        });
    });
    if (coordinator)
        connect(coordinator, &PermissionCoordinator::accessibilityStatusChanged, this, &PermissionStatusView::refresh);
    refresh();
    onLanguageChange(m_model, this, [this] { refresh(); });
}

QString PermissionStatusView::statusText() const
{
    const PermissionCoordinator *coordinator = m_model.dependencies().permissionCoordinator;
    switch (coordinator ? coordinator->accessibilityStatus() : PermissionStatus::unknown) {
    case PermissionStatus::granted:
        return localized("Window placement is available: a window manager that supports it is running.");
    case PermissionStatus::denied:
        return localized("Window placement is unavailable. Tarni Bar needs an X11 session with an EWMH window manager (such as Openbox, Xfwm or KWin) to place the windows it opens.");
    case PermissionStatus::unknown:
        break;
    }
    return localized("Window placement has not been checked yet.");
}

void PermissionStatusView::refresh()
{
    m_status->setText(statusText());
    m_checkAgain->setText(localized("Check Again"));
}

} // namespace tarni

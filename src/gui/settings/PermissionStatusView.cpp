#include "gui/settings/PermissionStatusView.h"

#include "app/AppModel.h"
#include "util/Localized.h"
#include "app/PermissionCoordinator.h"
#include "gui/AppActions.h"
#include "gui/GuiSupport.h"
#include "platform/gnome/GnomeShellExtension.h"
#include "platform/session/DisplaySession.h"
#include "platform/session/WindowPlacement.h"

#include <QGuiApplication>

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
        if (isWayland(currentDisplaySession()))
            return localized("Window placement is unavailable on this desktop. On GNOME it needs the Tarni Bar extension to be enabled; KDE Plasma and sway need no setup.");
        return localized("Window placement is unavailable. Tarni Bar needs an X11 session with an EWMH window manager (such as Openbox, Xfwm or KWin) to place the windows it opens.");
    case PermissionStatus::unknown:
        break;
    }
    return localized("Window placement has not been checked yet.");
}

namespace {

QString facilityText(PlacementFacility facility)
{
    switch (facility) {
    case PlacementFacility::ewmh:
        return localized("Window placement: X11 (EWMH)");
    case PlacementFacility::swayIpc:
        return localized("Window placement: sway (IPC)");
    case PlacementFacility::kwinScript:
        return localized("Window placement: KDE Plasma (KWin script)");
    case PlacementFacility::gnomeShellExtension:
        return localized("Window placement: GNOME (Shell extension)");
    case PlacementFacility::none:
        break;
    }
    return localized("Window placement: none");
}

} // namespace

QStringList PermissionStatusView::sessionNotes() const
{
    const PermissionCoordinator *coordinator = m_model.dependencies().permissionCoordinator;
    const PermissionStatus status = coordinator ? coordinator->accessibilityStatus() : PermissionStatus::unknown;
    QStringList notes;
    const PlacementFacility facility = currentPlacementFacility();
    if (status != PermissionStatus::unknown)
        notes << facilityText(status == PermissionStatus::granted ? facility : PlacementFacility::none);
    const DisplaySession session = currentDisplaySession();
    if (!sidebarDocks(session, QGuiApplication::platformName(), sidebarDockedByCompositor()))
        notes << localized("This desktop does not let the sidebar dock, so it shows as a normal window.");
    // Native Wayland windows are out of the X11 controller's sight: not a
    // fault to fix, so said once here rather than after every opening.
    if (isWayland(session) && status == PermissionStatus::granted && facility == PlacementFacility::ewmh)
        notes << localized("Only X11 windows can be placed on this desktop for now; windows of Wayland applications stay where they open.");
    // GNOME moves other applications' windows only for a shell extension,
    // which the application installs but only the user may turn on.
    if (placementFacilitiesFor(session, SessionEnvironment::fromProcess())
            .contains(PlacementFacility::gnomeShellExtension)
        && currentPlacementFacility() != PlacementFacility::gnomeShellExtension)
        notes << formatted(localized("On GNOME, Tarni Bar places windows through its shell extension. Turn it on in the Extensions app or with “gnome-extensions enable %@”; if it is not listed yet, log out and back in first."),
                           {gnomeShellExtensionUuid()});
    return notes;
}

void PermissionStatusView::refresh()
{
    m_status->setText(statusText());
    const QStringList notes = sessionNotes();
    auto *column = static_cast<QVBoxLayout *>(layout());
    while (m_notes.size() < notes.size()) {
        auto *label = new QLabel(this);
        label->setWordWrap(true);
        column->insertWidget(int(m_notes.size()) + 1, label);
        m_notes << label;
    }
    for (qsizetype i = 0; i < m_notes.size(); ++i) {
        m_notes[i]->setText(notes.value(i));
        m_notes[i]->setVisible(i < notes.size());
    }
    m_checkAgain->setText(localized("Check Again"));
}

} // namespace tarni

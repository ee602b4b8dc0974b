#include "gui/sidebar/SidebarPanelWindow.h"

#include "gui/WindowScreenFit.h"
#include "gui/sidebar/SidebarResizeGrip.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QShortcut>

namespace tarni {

SidebarPanelWindow::SidebarPanelWindow(QWidget *parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("TarniSidebarPanel"));
    setProperty(kPlacesItselfProperty, true);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_contentHolder = new QWidget(this);
    auto *holderLayout = new QHBoxLayout(m_contentHolder);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_contentHolder, 1);
    layout->addWidget(new SidebarResizeGrip(this));

    // Ctrl+Alt+arrows switch desktops in common window managers.
    auto *wider = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_BracketRight), this);
    connect(wider, &QShortcut::activated, this, [this] { Q_EMIT widthStepRequested(1); });
    auto *narrower = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_BracketLeft), this);
    connect(narrower, &QShortcut::activated, this, [this] { Q_EMIT widthStepRequested(-1); });
}

void SidebarPanelWindow::setContent(QWidget *content)
{
    m_contentHolder->layout()->addWidget(content);
}

bool SidebarPanelWindow::event(QEvent *event)
{
    const bool handled = QWidget::event(event);
    if (event->type() == QEvent::WinIdChange)
        Q_EMIT nativeWindowChanged();
    return handled;
}

void SidebarPanelWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Q_EMIT resized();
}

void SidebarPanelWindow::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    Q_EMIT moved();
}

void SidebarPanelWindow::closeEvent(QCloseEvent *event)
{
    // Hidden, not destroyed: starting the application again shows it.
    event->accept();
    Q_EMIT closed();
}

} // namespace tarni

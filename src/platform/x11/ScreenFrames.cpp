#include "platform/x11/ScreenFrames.h"

#include "platform/session/DisplaySession.h"
#include "platform/x11/PixelMapping.h"
#include "platform/x11/WorkArea.h"
#include "platform/x11/X11Display.h"

#include <QScreen>

namespace tarni {

QString screenIdentifier(const QScreen &screen)
{
    const QString name = screen.name();
    return name.isEmpty() ? screen.model() : name;
}

ScreenFrames::ScreenFrames(QByteArray displayName) : m_displayName(std::move(displayName)) {}

ScreenFrames::~ScreenFrames() = default;

std::optional<QRect> ScreenFrames::visibleFrame(const QRect &monitor, std::uint32_t sidebarWindow)
{
    if (!m_display || m_display->hasError())
        m_display = X11Display::open(m_displayName);
    if (!m_display)
        return std::nullopt;
    QList<Strut> struts;
    for (xcb_window_t window : m_display->clientList()) {
        if (window == sidebarWindow)
            continue;
        if (const auto strut = m_display->strutOf(window))
            struts << *strut;
    }
    // A logical screen size rounds, and mapped back it can pass the root's edge.
    const QRect root(QPoint(0, 0), m_display->rootSize());
    const QRect frame = tarni::visibleFrame(monitor & root, m_display->rootSize(), struts);
    // On X11 the struts say it all, and the single work area would shorten
    // monitors a panel does not touch.
    if (isWayland(currentDisplaySession()))
        if (const auto area = m_display->workArea())
            return withWorkAreaEdges(frame, monitor & root, *area);
    return frame;
}

ScreenDescription ScreenFrames::describe(const QScreen &screen, std::uint32_t sidebarWindow)
{
    const PixelMapping mapping = PixelMapping::of(&screen);
    const auto frame = visibleFrame(mapping.toDevice(screen.geometry()), sidebarWindow);
    return ScreenDescription{screenIdentifier(screen),
                             frame ? mapping.toLogical(*frame) : QRectF(screen.availableGeometry())};
}

} // namespace tarni

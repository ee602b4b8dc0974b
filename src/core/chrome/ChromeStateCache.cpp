#include "chrome/ChromeStateCache.h"

namespace tarni {

ChromeStateCache::ChromeStateCache(QObject *parent)
    : QObject(parent)
{
}

void ChromeStateCache::setWindows(QList<ChromeWindowState> windows)
{
    m_windows = std::move(windows);
    Q_EMIT windowsChanged();
}

void ChromeStateCache::setLastCapture(ChromeCapturePayload capture)
{
    m_lastCapture = std::move(capture);
    Q_EMIT lastCaptureChanged();
}

void ChromeStateCache::apply(const ChromeEvent &event)
{
    if (const auto *e = event.as<ChromeEvent::WindowsState>()) {
        setWindows(e->windows);
    } else if (const auto *e = event.as<ChromeEvent::ActiveTabChanged>()) {
        update(e->tab);
    } else if (const auto *e = event.as<ChromeEvent::TabClosed>()) {
        QList<ChromeWindowState> windows = m_windows;
        for (ChromeWindowState &window : windows)
            window.tabs.removeIf([&](const ChromeTabState &tab) { return tab.id == e->tabID; });
        // Windows left without tabs stay: the browser reports their end itself.
        setWindows(std::move(windows));
    } else if (const auto *e = event.as<ChromeEvent::CaptureResult>()) {
        setLastCapture(e->capture);
    }
    // saveSlackThread, error and connected change nothing here.
}

void ChromeStateCache::update(const ChromeTabState &tab)
{
    QList<ChromeWindowState> windows = m_windows;
    for (ChromeWindowState &window : windows) {
        if (window.id != tab.windowID)
            continue;
        auto it = std::find_if(window.tabs.begin(), window.tabs.end(),
                               [&](const ChromeTabState &existing) { return existing.id == tab.id; });
        if (it != window.tabs.end())
            *it = tab;
        else
            window.tabs.append(tab);
    }
    setWindows(std::move(windows));
}

} // namespace tarni

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
        followTabs(e->windows);
        setWindows(e->windows);
    } else if (const auto *e = event.as<ChromeEvent::ActiveTabChanged>()) {
        for (RuntimeTabBinding &bound : m_bindings) {
            if (bound.tabID == e->tab.id)
                bound.windowID = e->tab.windowID;
        }
        update(e->tab);
    } else if (const auto *e = event.as<ChromeEvent::TabClosed>()) {
        m_bindings.removeIf([&](Bindings::iterator it) { return it->tabID == e->tabID; });
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

std::optional<RuntimeTabBinding> ChromeStateCache::binding(const QUuid &nodeID) const
{
    const auto it = m_bindings.constFind(nodeID);
    if (it == m_bindings.cend())
        return std::nullopt;
    return *it;
}

void ChromeStateCache::bind(const QUuid &nodeID, RuntimeTabBinding tab)
{
    m_bindings.insert(nodeID, tab);
}

void ChromeStateCache::unbind(const QUuid &nodeID)
{
    m_bindings.remove(nodeID);
}

void ChromeStateCache::followTabs(const QList<ChromeWindowState> &windows)
{
    QHash<std::int64_t, std::int64_t> windowOfTab;
    for (const ChromeWindowState &window : windows) {
        for (const ChromeTabState &tab : window.tabs)
            windowOfTab.insert(tab.id, window.id);
    }
    m_bindings.removeIf([&](Bindings::iterator it) {
        return !windowOfTab.contains(it->tabID) && m_listedTabs.contains(it->tabID);
    });
    for (RuntimeTabBinding &bound : m_bindings)
        bound.windowID = windowOfTab.value(bound.tabID, bound.windowID);
    m_listedTabs = QSet<std::int64_t>(windowOfTab.keyBegin(), windowOfTab.keyEnd());
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

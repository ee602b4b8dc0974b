#pragma once

#include "chrome/ChromeHostMessages.h"

#include <QHash>
#include <QSet>
#include <QObject>
#include <QUuid>

#include <optional>

namespace tarni {

// What the application last learned about the browser: its windows with their
// tabs, the last captured tab or window, and which live tab each captured,
// restored or opened node stands for. Written by the bridge, read by the
// application model. Each operation assigns a property once, so observers
// see one change per event. GUI thread only.
//
// The bindings name tabs of this browser run only and are never stored.
// The state events keep them honest: a tab that closed, or that an earlier
// full windows state listed and a later one does not, loses its binding; a
// tab that moved keeps it with its new window. A tab no state has listed yet
// keeps its binding: the browser may have taken the state that reaches us
// now before it made the tab (replies and events travel apart).
class ChromeStateCache : public QObject {
    Q_OBJECT

public:
    explicit ChromeStateCache(QObject *parent = nullptr);

    const QList<ChromeWindowState> &windows() const { return m_windows; }
    void setWindows(QList<ChromeWindowState> windows);

    const std::optional<ChromeCapturePayload> &lastCapture() const { return m_lastCapture; }
    void setLastCapture(ChromeCapturePayload capture);

    // Folds one event from the extension into the state.
    void apply(const ChromeEvent &event);

    std::optional<RuntimeTabBinding> binding(const QUuid &nodeID) const;
    void bind(const QUuid &nodeID, RuntimeTabBinding tab);
    void unbind(const QUuid &nodeID);
    qsizetype bindingCount() const { return m_bindings.size(); }

Q_SIGNALS:
    void windowsChanged();
    void lastCaptureChanged();

private:
    void update(const ChromeTabState &tab);
    void followTabs(const QList<ChromeWindowState> &windows);

    using Bindings = QHash<QUuid, RuntimeTabBinding>;
    Bindings m_bindings;
    // The tabs of the last full windows state the browser sent.
    QSet<std::int64_t> m_listedTabs;

    QList<ChromeWindowState> m_windows;
    std::optional<ChromeCapturePayload> m_lastCapture;
};

} // namespace tarni

#pragma once

#include "chrome/ChromeHostMessages.h"

#include <QObject>

#include <optional>

namespace tarni {

// What the application last learned about the browser: its windows with their
// tabs, and the last captured tab or window. Written by the bridge, read by
// the application model. Each operation assigns a property once, so observers
// see one change per event. GUI thread only.
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

Q_SIGNALS:
    void windowsChanged();
    void lastCaptureChanged();

private:
    void update(const ChromeTabState &tab);

    QList<ChromeWindowState> m_windows;
    std::optional<ChromeCapturePayload> m_lastCapture;
};

} // namespace tarni

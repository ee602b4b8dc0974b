#pragma once

#include "app/AppEnvironment.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QObject>

#include <memory>
#include <optional>

class QSocketNotifier;

namespace tarni {

class ApplicationDBusService;
class FocusReturn;
class SidebarPanelManager;
class Updater;
struct UpdateConfiguration;

// The running application: builds the composition, shows the sidebar,
// launches the model and the Chrome bridge, offers the commands on the
// session bus, and on every way out (the Quit command, Ctrl+Q, SIGTERM,
// SIGINT, the end of the session, Quit over D-Bus) puts managed windows back
// before the process ends and the data root's lock is released.
class TarniBarApplication : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Started by the native host: no raising, no focus.
        bool background = false;
        // Measurement: print the time from process start to the first paint
        // of the filled outline and the resident memory, then quit.
        bool exitAfterFirstPaint = false;
        // How long quitting waits for managed windows to go back.
        int quitTimeoutMs = 3000;
    };

    // Exit codes of start().
    static constexpr int kAlreadyRunning = -1;
    static constexpr int kStarted = 0;

    TarniBarApplication(Options options, QElapsedTimer sinceStart, QObject *parent = nullptr);
    ~TarniBarApplication() override;

    // Builds everything and schedules the launch. kStarted when the event
    // loop should run; kAlreadyRunning when another instance was asked to
    // show itself; otherwise the process's exit code (the reason is printed).
    int start();

    // Puts managed windows back (at most quitTimeoutMs) and ends the event loop.
    void quit();

private:
    QCoro::Task<> launchThenMonitor();
    QCoro::Task<> quitAfterRestoring();
    void installSignalHandlers();
    void registerOnBus();
    void setUpUpdater(const std::optional<UpdateConfiguration> &configuration);
    void offerRestart(const QString &executable, const QString &version);
    void watchFirstPaint();
    bool eventFilter(QObject *watched, QEvent *event) override;
    static void endRunCutShort();

    Options m_options;
    QElapsedTimer m_sinceStart;
    std::unique_ptr<AppEnvironment> m_environment;
    std::unique_ptr<SidebarPanelManager> m_panelManager;
    std::unique_ptr<FocusReturn> m_focusReturn;
    std::unique_ptr<ApplicationDBusService> m_dbus;
    std::unique_ptr<Updater> m_updater;
    // Started once this instance has let go of the data root.
    QString m_restartExecutable;
    QSocketNotifier *m_signalNotifier = nullptr;
    bool m_quitting = false;
    bool m_launched = false;
    bool m_firstPaintReported = false;
};

} // namespace tarni

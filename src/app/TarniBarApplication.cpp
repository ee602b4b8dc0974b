#include "app/TarniBarApplication.h"

#include "app/ApplicationDBusService.h"
#include "util/Localized.h"
#include "app/LanguageManager.h"
#include "app/Resources.h"
#include "gui/FocusReturn.h"
#include "gui/SidebarRootView.h"
#include "gui/outline/WorkspaceOutlineView.h"
#include "gui/sidebar/SidebarPanelManager.h"
#include "gui/sidebar/SidebarPanelWindow.h"
#include "gui/WindowScreenFit.h"
#include "platform/session/DisplaySession.h"
#include "platform/session/WindowPlacement.h"
#include "platform/sway/SwaySidebarDock.h"
#include "windowing/CompositorWindows.h"
#include "platform/x11/ScreenFrames.h"
#include "platform/x11/X11WindowController.h"
#include "platform/xdg/SessionBusServiceFile.h"
#include "platform/xdg/XdgBrowserLauncher.h"
#include "platform/xdg/XdgExternalOpener.h"
#include "update/UpdateConfiguration.h"
#include "update/Updater.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarni {

namespace fs = std::filesystem;

namespace {

// What the sway dock changed, so that a start after a crash undoes it.
constexpr const char *kSwayDockStateName = "sway-docking.json";

int s_signalPipe[2] = {-1, -1};
// The instance between its start and its destruction.
TarniBarApplication *s_running = nullptr;

void forwardSignal(int)
{
    const char byte = 1;
    if (::write(s_signalPipe[1], &byte, 1) < 0) {
        // Nothing to do: a full pipe already holds a pending quit.
    }
}

// Resident memory of this process in MiB, from /proc.
double residentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

// Milliseconds since the kernel started this process (10 ms resolution).
long long msSinceProcessStart()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces, start after ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 20)
        return -1;
    const double startTicks = fields[19].toDouble();
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
    return static_cast<long long>(nowMs - startTicks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)));
}

bool activateOther(const fs::path &root)
{
    if (ApplicationDBusService::activateRunningInstance(root))
        return true;
    std::fprintf(stderr,
                 "TarniBar is already running on %s, but it did not answer on the session bus; "
                 "its sidebar could not be shown.\n",
                 root.string().c_str());
    return false;
}

bool heldByApplication(const fs::path &root)
{
    const auto holder = InstanceLock::currentHolder(root);
    return holder && holder->holder == InstanceLock::Holder::application;
}

} // namespace

TarniBarApplication::TarniBarApplication(Options options, QElapsedTimer sinceStart, QObject *parent)
    : QObject(parent), m_options(options), m_sinceStart(sinceStart)
{
}

TarniBarApplication::~TarniBarApplication()
{
    s_running = nullptr;
    // The bus and the windows go before the services they use; the
    // environment goes last and releases the data root's lock.
    m_dbus.reset();
    m_updater.reset();
    m_focusReturn.reset();
    m_panelManager.reset();
    m_environment.reset();
    if (!m_restartExecutable.isEmpty() && !QProcess::startDetached(m_restartExecutable, {}))
        std::fprintf(stderr, "tarnibar: could not start %s\n", qPrintable(m_restartExecutable));
    if (m_signalNotifier) {
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
    }
}

int TarniBarApplication::start()
{
    const UITestConfig &config = UITestConfig::current();
    const fs::path root = config.applicationSupportRoot;
    if (heldByApplication(root))
        return activateOther(root) ? kAlreadyRunning : 1;

    PlatformServices platform;
    platform.makeExternalOpener = [] { return std::make_unique<XdgExternalOpener>(); };
    platform.makeWindowController = [this](ManagedWindowRegistry &registry) {
        const SessionEnvironment session = SessionEnvironment::fromProcess();
        SessionWindowController::Factories factories;
        factories.ewmh = [screens = ScreenMappings::follow(this), &registry]() -> std::unique_ptr<AXWindowControlling> {
            return std::make_unique<X11WindowController>(
                registry, X11WindowController::Options{QByteArray(), DefaultApplicationLookup(), 500, screens});
        };
        factories.compositor = [session](PlacementFacility facility) {
            return makeCompositorWindows(facility, session);
        };
        return std::make_unique<SessionWindowController>(
            registry, placementFacilitiesFor(currentDisplaySession(), session), std::move(factories));
    };
    platform.makeBrowserLauncher = [] {
        XdgBrowserLauncher::Options options;
        // Only X11 windows are in reach of EWMH on a Wayland desktop.
        options.asX11Client = [wayland = isWayland(currentDisplaySession())] {
            return wayland && currentPlacementFacility() == PlacementFacility::ewmh;
        };
        return std::make_unique<XdgBrowserLauncher>(std::move(options));
    };
    platform.toScreenPixels = [screens = ScreenMappings::follow(this)](const QRectF &logical) {
        return QRectF(screens->forLogical(logical).toDevice(logical));
    };
    platform.mainScreen = [this]() -> std::optional<ScreenDescription> {
        if (m_panelManager)
            return m_panelManager->mainScreenDescription();
        QScreen *screen = QGuiApplication::primaryScreen();
        if (!screen)
            return std::nullopt;
        return ScreenFrames().describe(*screen, 0);
    };
    const auto updateConfiguration = validUpdateConfiguration(readUpdateConfiguration(updateConfigurationFile()));
    platform.updatesConfigured = [configured = updateConfiguration.has_value()] { return configured; };
    platform.executable = QCoreApplication::applicationFilePath().toStdString();
    platform.hostProgram = nativeHostProgramFor(QCoreApplication::applicationDirPath().toStdString());
    platform.lockWait = std::chrono::milliseconds(1000);

    auto created = AppEnvironment::create(config, std::move(platform));
    if (!created) {
        // Another instance may have taken the lock while we looked.
        if (heldByApplication(root))
            return activateOther(root) ? kAlreadyRunning : 1;
        std::fprintf(stderr, "%s\n", qPrintable(created.error().description));
        return 2;
    }
    m_environment = std::move(*created);
    AppEnvironment &env = *m_environment;
    // Registered after the environment, so this runs before the statics it uses are destroyed.
    s_running = this;
    static const bool endRegistered = std::atexit(&TarniBarApplication::endRunCutShort) == 0;
    Q_UNUSED(endRegistered);

    if (config.isUITestMode && config.shouldReset) {
        for (const char *key : {"appLanguage", kAutoCheckUpdatesSettingsKey, kOnboardingCompletedSettingsKey})
            env.settings().remove(QLatin1String(key));
        env.settings().sync();
        env.languageManager().resetToSystem();
    }
    setUpUpdater(updateConfiguration);

    installSignalHandlers();
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this] { quit(); });

    keepWindowsOnScreen(*QCoreApplication::instance());
    // While a big write runs the window paints but takes no input.
    connect(&env.appModel().treeViewModel(), &TreeViewModel::writingChanged, this, [](bool writing) {
        if (writing)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QGuiApplication::restoreOverrideCursor();
    });
    SidebarPanelManager::Options panelOptions;
    // sway ignores struts; its IPC docks the sidebar instead. The content
    // window would float above the tiled windows it marks, so it stays hidden.
    if (currentDisplaySession() == DisplaySession::waylandWlroots) {
        panelOptions.edgeDocking = SwaySidebarDock::create(SessionEnvironment::fromProcess().swaySocket,
                                                           QString::fromStdString((root / kSwayDockStateName).string()));
        panelOptions.showsManagedTargetWindow = !panelOptions.edgeDocking;
        setSidebarDockedByCompositor(panelOptions.edgeDocking != nullptr);
    }
    m_panelManager = std::make_unique<SidebarPanelManager>(*env.dependencies().windowReservationManager,
                                                           env.appModel(), std::move(panelOptions));
    m_panelManager->showSidebar(!m_options.background);
    env.appModel().setContentRectProvider(
        [manager = m_panelManager.get()] { return manager->currentContentRect(); });
    if (SidebarRootView *root = m_panelManager->rootView()) {
        connect(root, &SidebarRootView::quitRequested, this, &TarniBarApplication::quit);
        m_focusReturn = std::make_unique<FocusReturn>(*m_panelManager->panel(), [root = QPointer(root)] {
            if (root && !root->isShowingOnboarding())
                root->outline()->setFocus(Qt::ActiveWindowFocusReason);
        });
    }
    if (m_options.exitAfterFirstPaint)
        watchFirstPaint();

    QTimer::singleShot(0, this, [this] { launchThenMonitor(); });
    return kStarted;
}

QCoro::Task<> TarniBarApplication::launchThenMonitor()
{
    QPointer<TarniBarApplication> self(this);
    co_await m_environment->appModel().launch();
    if (!self)
        co_return;
    if (SyncCoordinator *sync = m_environment->appModel().sync())
        sync->start();
    m_launched = true;
    registerOnBus();
    const UITestConfig &config = m_environment->dependencies().uiTestConfig;
    ChromeNativeHostBridge *bridge = &m_environment->chromeBridge();
    if (!config.isUITestMode)
        bridge->startQueueMonitoring();
    else if (config.queueMonitorEnabled)
        QTimer::singleShot(1000, this, [bridge] { bridge->startQueueMonitoring(); });
    if (m_options.exitAfterFirstPaint)
        m_panelManager->rootView()->outline()->viewport()->update();
}

void TarniBarApplication::registerOnBus()
{
    ApplicationDBusService::Shell shell;
    shell.showSidebar = [this] { m_panelManager->raiseAndActivate(); };
    shell.quit = [this] { quit(); };
    m_dbus = std::make_unique<ApplicationDBusService>(m_environment->appModel(),
                                                      m_environment->dependencies().uiTestConfig.applicationSupportRoot,
                                                      std::move(shell));
    // Before the name is taken, so that whoever sees it can rely on the file.
    // An automation run must not make the bus start its binary for the user.
    if (!m_environment->dependencies().uiTestConfig.isUITestMode) {
        QStringList dataDirs = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
        const QString dataHome = dataDirs.isEmpty() ? QString() : dataDirs.takeFirst();
        const auto installed =
            installSessionBusServiceFile(QCoreApplication::applicationFilePath(), dataHome, dataDirs);
        if (!installed)
            std::fprintf(stderr, "tarnibar: the session bus cannot start TarniBar on demand: %s\n",
                         qPrintable(installed.error()));
    }
    QString error;
    if (!m_dbus->registerOnSessionBus(&error))
        std::fprintf(stderr, "tarnibar: the commands are not offered on the session bus: %s\n", qPrintable(error));
}

void TarniBarApplication::setUpUpdater(const std::optional<UpdateConfiguration> &configuration)
{
    const UITestConfig &config = m_environment->dependencies().uiTestConfig;
    AppModel &model = m_environment->appModel();
    Updater::Options options;
    options.configuration = configuration.value_or(UpdateConfiguration{});
    options.currentVersion = QStringLiteral(TARNI_VERSION);
    options.executable = QCoreApplication::applicationFilePath().toStdString();
    options.downloadDirectory = QString::fromStdString((config.applicationSupportRoot / "Updates").string());
    options.settings = &m_environment->settings();
    options.openPackage = [](const QString &path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    m_updater = std::make_unique<Updater>(std::move(options));
    m_updater->setAutomaticallyChecksForUpdates(model.autoCheckUpdatesEnabled());
    if (configuration && !config.isUITestMode)
        m_updater->start();

    connect(&model, &AppModel::autoCheckUpdatesChangeRequested, m_updater.get(),
            &Updater::setAutomaticallyChecksForUpdates);
    connect(&model, &AppModel::checkForUpdatesRequested, this, [this] {
        m_updater->checkForUpdates();
        m_environment->appModel().updateCheckStarted(localized("Started a manual Tarni Bar update check."));
    });
    connect(m_updater.get(), &Updater::statusChanged, this, [this](const QString &key, const QStringList &values) {
        m_environment->appModel().updateCheckStarted(formatted(localized(key), values));
    });
    connect(m_updater.get(), &Updater::restartOffered, this, &TarniBarApplication::offerRestart);
}

void TarniBarApplication::offerRestart(const QString &executable, const QString &version)
{
    auto *box = new QMessageBox(QMessageBox::Question, localized("Update installed"),
                                formatted(localized("Tarni Bar %@ is installed. Restart now to use it?"), {version}),
                                QMessageBox::NoButton, m_panelManager ? m_panelManager->rootView() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *restart = box->addButton(localized("Restart Now"), QMessageBox::AcceptRole);
    box->addButton(localized("Later"), QMessageBox::RejectRole);
    box->setDefaultButton(restart);
    connect(restart, &QPushButton::clicked, this, [this, executable] {
        m_restartExecutable = executable;
        quit();
    });
    box->open();
}

void TarniBarApplication::quit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    quitAfterRestoring();
}

QCoro::Task<> TarniBarApplication::quitAfterRestoring()
{
    // A window manager that stops answering must not keep us from quitting.
    QTimer::singleShot(m_options.quitTimeoutMs, qApp, [] {
        std::fprintf(stderr, "tarnibar: managed windows did not all go back in time; quitting anyway\n");
        QCoreApplication::exit(0);
    });
    QPointer<TarniBarApplication> self(this);
    co_await m_environment->appModel().restoreManagedWindows();
    if (self)
        QCoreApplication::exit(0);
}

// Runs when exit() is called while the application runs. Qt's xcb platform
// does that from inside the event loop when the connection to the X server
// breaks (the server ended, or the display was closed under us). Going on
// from there would destroy the static objects while the application, its
// windows and Qt's own threads still use them, and can end in a crash, a
// hang, or a leak report instead of an exit. Every edit is already committed
// to the database and the lock goes with the process; what is left to write
// is written here, and the process ends without running the rest.
void TarniBarApplication::endRunCutShort()
{
    TarniBarApplication *app = s_running;
    if (!app)
        return;
    s_running = nullptr;
    if (app->m_environment)
        app->m_environment->settings().sync();
    std::fprintf(stderr, "tarnibar: ending at once: the connection to the display was lost; the workspace is saved\n");
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(1);
}

void TarniBarApplication::installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_signalPipe) != 0) {
        std::perror("tarnibar: no signal pipe");
        return;
    }
    m_signalNotifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, this);
    connect(m_signalNotifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(s_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        quit();
    });
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void TarniBarApplication::watchFirstPaint()
{
    m_panelManager->rootView()->outline()->viewport()->installEventFilter(this);
    // An outline that never shows (the onboarding in its place) must not
    // keep a measurement waiting.
    QTimer::singleShot(60000, this, [this] {
        if (m_firstPaintReported)
            return;
        std::fprintf(stderr, "tarnibar: the outline was not painted with rows within 60 s\n");
        QCoreApplication::exit(3);
    });
}

bool TarniBarApplication::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Paint || !m_launched || m_firstPaintReported)
        return QObject::eventFilter(watched, event);
    WorkspaceOutlineView *outline = m_panelManager->rootView()->outline();
    const qsizetype nodes = m_environment->appModel().treeViewModel().nodes().size();
    const int rows = outline->model() ? outline->model()->rowCount() : 0;
    // The outline counts as filled once it shows rows, or at once when it
    // has no model or nothing to show.
    if (outline->model() && rows == 0 && nodes > 0)
        return QObject::eventFilter(watched, event);
    m_firstPaintReported = true;
    // Reported after this paint has been handled.
    QTimer::singleShot(0, this, [this, rows, nodes] {
        std::printf("first-paint since-exec-ms=%lld since-main-ms=%lld outline-rows=%d nodes=%lld rss-mib=%.1f\n",
                    msSinceProcessStart(), static_cast<long long>(m_sinceStart.elapsed()), rows,
                    static_cast<long long>(nodes), residentMiB());
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    return QObject::eventFilter(watched, event);
}

} // namespace tarni

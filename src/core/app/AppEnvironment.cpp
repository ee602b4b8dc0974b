#include "app/AppEnvironment.h"

#include "app/Resources.h"
#include "chrome/ChromeExtensionIdentity.h"
#include "common/ApplicationLaunch.h"
#include "common/DataRoot.h"
#include "opening/ChromeProvider.h"
#include "opening/FileProviders.h"
#include "opening/UrlProviders.h"
#include "windowing/ManagedWindowStateFile.h"
#include "windowing/UITestAXWindowController.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>

#include <thread>

namespace tarni {

namespace fs = std::filesystem;

namespace {

QString text(const std::string &s) { return QString::fromStdString(s); }

// Waits while a tarnibar-cli edit holds the lock for its moment; another
// running application is reported at once.
bool acquireLock(InstanceLock &lock, const fs::path &root, std::chrono::milliseconds wait, QString *error)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        std::string reason;
        if (lock.tryAcquire(root, &reason, InstanceLock::Holder::application))
            return true;
        if (!lock.wasContended()) {
            *error = QStringLiteral("Cannot lock the data folder %1: %2").arg(text(root.string()), text(reason));
            return false;
        }
        const auto holder = InstanceLock::currentHolder(root);
        if (holder && holder->holder == InstanceLock::Holder::application) {
            *error = QStringLiteral("TarniBar is already running on %1 (process %2).")
                         .arg(text(root.string()))
                         .arg(holder->pid);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = QStringLiteral("The data folder %1 stayed locked by another program.").arg(text(root.string()));
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Empties the root but keeps the lock file we hold: removing it would let a
// second instance lock a new file of the same name.
void resetRoot(const fs::path &root)
{
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().filename() == kInstanceLockName)
            continue;
        std::error_code removeError;
        fs::remove_all(it->path(), removeError);
    }
}

// Reads the windows a previous process left beside the sidebar, then keeps
// the file in step with the registry. The registry belongs to the window
// worker, so the file is written there.
std::shared_ptr<ManagedWindowStateFile> watchManagedWindows(ManagedWindowRegistry &registry, const fs::path &root)
{
    auto file = std::make_shared<ManagedWindowStateFile>(root / ManagedWindowStateFile::kFileName);
    registry.setChangeObserver(
        [file](const ManagedWindowRegistry &r) { file->save(r.recordsNeedingRestore()); });
    return file;
}

// The first job of the window worker, so that nothing moves a window before
// the stranded ones are back; the file then holds only what is still ours.
void restoreWindowsLeftBehind(AsyncWindowController &windows, ManagedWindowRegistry &registry,
                              std::shared_ptr<ManagedWindowStateFile> file)
{
    QList<ManagedWindowRecord> records = file->load();
    windows.runDetached([records = std::move(records), file, &registry](AXWindowControlling &controller) {
        if (!records.isEmpty()) {
            file->setCarriedOver(records);
            // Without a window manager (yet) nothing can be put back: the
            // records stay for a start that can.
            if (controller.permissionStatus() != PermissionStatus::granted)
                return;
            controller.restoreWindowsLeftBehind(records);
            file->setCarriedOver({});
        }
        file->save(registry.recordsNeedingRestore());
    });
}

} // namespace

QString AppEnvironment::settingsFile(const QString &suiteName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/TarniBar/") +
        suiteName + QStringLiteral(".ini");
}

AppEnvironment::~AppEnvironment()
{
    // Sync and the model first: they refer to everything below.
    m_sync.reset();
    m_appModel.reset();
    m_providers.reset();
    m_windowController.reset();
}

Result<std::unique_ptr<AppEnvironment>, AppEnvironment::Error> AppEnvironment::create(const UITestConfig &config,
                                                                                     PlatformServices platform)
{
    const bool automation = config.isUITestMode;
    if (!automation && (!platform.makeExternalOpener || !platform.makeWindowController))
        return Failure(Error{QStringLiteral("The desktop services are missing.")});

    std::unique_ptr<AppEnvironment> env(new AppEnvironment);
    const fs::path &root = config.applicationSupportRoot;
    std::string reason;
    if (!ensurePrivateDirectory(root, &reason))
        return Failure(
            Error{QStringLiteral("Cannot create the data folder %1: %2").arg(text(root.string()), text(reason))});
    QString lockError;
    if (!acquireLock(env->m_lock, root, platform.lockWait, &lockError))
        return Failure(Error{lockError});

    // The settings: the automation suite's own file, else the user's.
    const QString suite = config.defaultsSuiteName.value_or(QStringLiteral("TarniBar"));
    // A reset never touches the user's own data folder: only an automation
    // run or a run on an explicitly given root starts from nothing.
    if (config.shouldReset && (automation || config.rootOverridden)) {
        resetRoot(root);
        if (config.defaultsSuiteName)
            QFile::remove(settingsFile(suite));
    }
    env->m_settings = std::make_unique<QSettings>(settingsFile(suite), QSettings::IniFormat);

    if (!platform.executable.empty())
        recordApplicationExecutable(root, platform.executable);

    const fs::path resources = platform.resourceDirectory.empty() ? resourceDirectory() : platform.resourceDirectory;
    env->m_languageManager = std::make_unique<LanguageManager>(*env->m_settings, resources);

    env->m_store = std::make_unique<WorkspaceStore>(root / kWorkspaceDatabaseName);
    env->m_archive = std::make_unique<TreeArchiveService>();
    env->m_stateCache = std::make_unique<ChromeStateCache>();
    ChromeBridgeOptions bridgeOptions;
    bridgeOptions.automationMode = automation;
    bridgeOptions.simulateConnectedChrome = automation && config.simulateChromeConnected;
    // The host is installed beside the application's executable.
    if (platform.hostProgram.empty() && QCoreApplication::instance())
        platform.hostProgram =
            fs::path(QCoreApplication::applicationDirPath().toStdString()) / kNativeHostProgramName;
    bridgeOptions.bundledHostProgram = text(platform.hostProgram.string());
    env->m_bridge = std::make_unique<ChromeNativeHostBridge>(env->m_stateCache.get(), root, bridgeOptions);
    env->m_registry = std::make_unique<ManagedWindowRegistry>();

    std::unique_ptr<AXWindowControlling> controller;
    std::shared_ptr<ManagedWindowStateFile> leftBehind;
    if (automation) {
        env->m_uiTestSupport = std::make_unique<UITestSupport>(root / UITestConfig::kStateFileName);
        env->m_opener = std::make_unique<RecordingExternalOpener>(*env->m_uiTestSupport);
        auto simulated = std::make_unique<UITestAXWindowController>(
            *env->m_registry, config.simulatedPermissionStatus.value_or(PermissionStatus::granted));
        UITestSupport *support = env->m_uiTestSupport.get();
        simulated->setMoveObserver([support](const UITestAXWindowController::Move &move) {
            support->recordMovedWindow(move.identifier, move.frame);
        });
        controller = std::move(simulated);
    } else {
        env->m_opener = platform.makeExternalOpener();
        controller = platform.makeWindowController(*env->m_registry);
        leftBehind = watchManagedWindows(*env->m_registry, root);
        if (platform.makeBrowserLauncher)
            env->m_browserLauncher = platform.makeBrowserLauncher();
    }
    const PermissionStatus initialPermission = controller->permissionStatus();
    env->m_windowController = std::make_unique<AsyncWindowController>(std::move(controller));
    if (leftBehind)
        restoreWindowsLeftBehind(*env->m_windowController, *env->m_registry, std::move(leftBehind));
    env->m_permission = std::make_unique<PermissionCoordinator>(*env->m_windowController, initialPermission);
    env->m_reservation = std::make_unique<WindowReservationManager>(*env->m_settings);

    ChromeWithoutExtension fallback;
    fallback.browser = env->m_browserLauncher.get();
    // In automation mode the recording opener stands in here too, so that
    // tabs opened without a (simulated) extension are recorded, not lost.
    fallback.opener = env->m_opener.get();
    fallback.windows = env->m_windowController.get();
    AsyncWindowController *windows = env->m_windowController.get();
    NodeProviderRegistry::ProviderList providers{
        std::make_shared<ChromeProvider>(*env->m_bridge, *env->m_stateCache, fallback, platform.toScreenPixels),
        std::make_shared<WebLinkProvider>(*env->m_opener),
        std::make_shared<SlackProvider>(*env->m_opener),
        std::make_shared<FileProvider>(*env->m_opener, windows),
        std::make_shared<FolderProvider>(*env->m_opener, windows),
    };
    env->m_providers = std::make_unique<NodeProviderRegistry>(std::move(providers));

    AppModelDependencies &deps = env->m_dependencies;
    deps.workspaceStore = env->m_store.get();
    deps.workspaceDatabase = root / kWorkspaceDatabaseName;
    deps.treeArchiveService = env->m_archive.get();
    deps.chromeBridge = env->m_bridge.get();
    deps.nativeHostBridge = env->m_bridge.get();
    deps.chromeStateCache = env->m_stateCache.get();
    deps.nodeProviderRegistry = env->m_providers.get();
    deps.permissionCoordinator = env->m_permission.get();
    deps.windowReservationManager = env->m_reservation.get();
    deps.axWindowController = env->m_windowController.get();
    deps.externalOpener = env->m_opener.get();
    deps.uiTestConfig = config;
    deps.uiTestSupport = env->m_uiTestSupport.get();
    deps.settings = env->m_settings.get();
    deps.languageManager = env->m_languageManager.get();
    deps.resourceDirectory = resources;
    deps.hostProgram = platform.hostProgram;
    deps.mainScreen = platform.mainScreen;
    deps.updatesConfigured = platform.updatesConfigured;
    env->m_appModel = std::make_unique<AppModel>(deps);
    env->m_sync = std::make_unique<SyncCoordinator>(*env->m_store, env->m_appModel->treeViewModel(), *env->m_archive);
    env->m_appModel->attachSync(env->m_sync.get());
    return env;
}

} // namespace tarni

#pragma once

#include "app/AppModel.h"
#include "app/AppModelDependencies.h"
#include "app/LanguageManager.h"
#include "app/PermissionCoordinator.h"
#include "app/SyncCoordinator.h"
#include "app/UITestConfig.h"
#include "app/UITestSupport.h"
#include "archive/TreeArchiveService.h"
#include "chrome/ChromeNativeHostBridge.h"
#include "chrome/ChromeStateCache.h"
#include "opening/ChromeProvider.h"
#include "common/InstanceLock.h"
#include "opening/BrowserLaunching.h"
#include "opening/ExternalOpening.h"
#include "opening/NodeProviderRegistry.h"
#include "storage/WorkspaceStore.h"
#include "util/Result.h"
#include "windowing/AXWindowControlling.h"
#include "windowing/AsyncWindowController.h"
#include "windowing/ManagedWindowRegistry.h"
#include "windowing/WindowReservationManager.h"

#include <QSettings>

#include <chrono>
#include <functional>
#include <memory>

namespace tarni {

// The desktop facilities behind the core's interfaces, supplied by the
// application (the platform layer). Automation mode needs none of the
// factories: it records and simulates instead.
struct PlatformServices {
    std::function<std::unique_ptr<ExternalOpening>()> makeExternalOpener;
    std::function<std::unique_ptr<AXWindowControlling>(ManagedWindowRegistry &)> makeWindowController;
    // Starts Chrome for the Chrome provider while no extension is connected.
    std::function<std::unique_ptr<BrowserLaunching>()> makeBrowserLauncher;
    std::function<std::optional<ScreenDescription>()> mainScreen;
    // Logical rectangles to the screen's device pixels, for the browser's
    // window bounds; none: the same numbers.
    ScreenPixelMapping toScreenPixels;
    std::function<bool()> updatesConfigured;
    // Recorded in the data root so that the native host can start us.
    std::filesystem::path executable;
    // The host program installed with the application.
    std::filesystem::path hostProgram;
    std::filesystem::path resourceDirectory;
    // How long to wait for a tarnibar-cli edit that holds the instance lock.
    std::chrono::milliseconds lockWait{10000};
};

// The composition root: decides which service stands behind each interface,
// builds every long-lived service once, in a fixed order, takes the data
// root's instance lock for the whole run, and hands the services to the
// application model. Owns them all.
class AppEnvironment {
public:
    struct Error {
        QString description;
    };

    static Result<std::unique_ptr<AppEnvironment>, Error> create(const UITestConfig &config, PlatformServices platform);
    ~AppEnvironment();
    AppEnvironment(const AppEnvironment &) = delete;
    AppEnvironment &operator=(const AppEnvironment &) = delete;

    const AppModelDependencies &dependencies() const { return m_dependencies; }
    AppModel &appModel() { return *m_appModel; }
    ChromeNativeHostBridge &chromeBridge() { return *m_bridge; }
    QSettings &settings() { return *m_settings; }
    LanguageManager &languageManager() { return *m_languageManager; }

    // Where the settings of a suite live: $XDG_CONFIG_HOME/TarniBar/<suite>.ini.
    static QString settingsFile(const QString &suiteName);

private:
    AppEnvironment() = default;

    InstanceLock m_lock;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<LanguageManager> m_languageManager;
    std::unique_ptr<WorkspaceStore> m_store;
    std::unique_ptr<TreeArchiveService> m_archive;
    std::unique_ptr<ChromeStateCache> m_stateCache;
    std::unique_ptr<ChromeNativeHostBridge> m_bridge;
    std::unique_ptr<ManagedWindowRegistry> m_registry;
    std::unique_ptr<UITestSupport> m_uiTestSupport;
    std::unique_ptr<ExternalOpening> m_opener;
    std::unique_ptr<BrowserLaunching> m_browserLauncher;
    std::unique_ptr<AsyncWindowController> m_windowController;
    std::unique_ptr<PermissionCoordinator> m_permission;
    std::unique_ptr<WindowReservationManager> m_reservation;
    std::unique_ptr<NodeProviderRegistry> m_providers;
    AppModelDependencies m_dependencies;
    std::unique_ptr<AppModel> m_appModel;
    std::unique_ptr<SyncCoordinator> m_sync;
};

} // namespace tarni

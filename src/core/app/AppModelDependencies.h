#pragma once

#include "app/UITestConfig.h"
#include "windowing/WindowReservationManager.h"

#include <QRectF>

#include <filesystem>
#include <functional>
#include <optional>

class QSettings;

namespace tarni {

class AsyncWindowController;
class ChromeNativeHostBridge;
class ChromeNativeHostBridgeProtocol;
class ChromeStateCache;
class ExternalOpening;
class LanguageManager;
class NodeProviderRegistry;
class PermissionCoordinator;
class TreeArchiveService;
class UITestSupport;
class WorkspaceStoreProtocol;

// The services the application model works with, built once by the
// composition root, which owns them all and outlives the model.
struct AppModelDependencies {
    WorkspaceStoreProtocol *workspaceStore = nullptr;
    // The database file behind workspaceStore, which a second connection
    // opens to write automatic snapshots and erase the trash off the GUI
    // thread; empty: those writes are made on the GUI thread.
    std::filesystem::path workspaceDatabase;
    const TreeArchiveService *treeArchiveService = nullptr;
    ChromeNativeHostBridgeProtocol *chromeBridge = nullptr;
    // The same bridge when it is the real one (connection status, Slack
    // threads sent from the browser, host installation); else null.
    ChromeNativeHostBridge *nativeHostBridge = nullptr;
    ChromeStateCache *chromeStateCache = nullptr;
    NodeProviderRegistry *nodeProviderRegistry = nullptr;
    PermissionCoordinator *permissionCoordinator = nullptr;
    WindowReservationManager *windowReservationManager = nullptr;
    // The window controller (with the managed window registry it keeps) on
    // its own thread.
    AsyncWindowController *axWindowController = nullptr;
    ExternalOpening *externalOpener = nullptr;
    UITestConfig uiTestConfig;
    UITestSupport *uiTestSupport = nullptr; // automation mode only

    // Preferences: the user's settings, or the automation suite's.
    QSettings *settings = nullptr;
    LanguageManager *languageManager = nullptr;
    // The application's own files (string tables, the extension).
    std::filesystem::path resourceDirectory;
    // The host program installed with the application.
    std::filesystem::path hostProgram;
    // The screen the sidebar docks on; absent without any screen.
    std::function<std::optional<ScreenDescription>()> mainScreen;
    // Whether this build can look for updates.
    std::function<bool()> updatesConfigured;
};

} // namespace tarni

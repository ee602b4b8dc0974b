#pragma once

#include "windowing/PermissionStatus.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <optional>

namespace tarni {

// The content an automation run starts with instead of the user's tree.
enum class UITestWorkspaceSeed { sample, browser, slack, file };

std::optional<UITestWorkspaceSeed> uiTestWorkspaceSeedFromName(const QString &name);
QString uiTestWorkspaceSeedName(UITestWorkspaceSeed seed);

// The switches of one run, read once from the arguments and the environment
// (an argument and its variable are alternatives). Automation mode replaces
// everything that reaches outside the application by recording or simulated
// stand-ins and keeps its files and settings apart from the user's.
struct UITestConfig {
    bool isUITestMode = false;
    // Start from nothing: the data root's contents and the automation
    // settings are removed before anything is opened.
    bool shouldReset = false;
    std::filesystem::path applicationSupportRoot;
    // The root came from TARNI_UITEST_ROOT rather than the usual place.
    bool rootOverridden = false;
    // A settings file of its own ("TarniBarUITests." + the root's folder
    // name) in automation mode; absent otherwise.
    std::optional<QString> defaultsSuiteName;
    std::optional<UITestWorkspaceSeed> seedWorkspace;
    bool simulateChromeConnected = false;
    bool simulateChromeCurrentWindow = false;
    std::optional<PermissionStatus> simulatedPermissionStatus;
    bool importFixtureOnLaunch = false;
    // The file imported at launch: the given one, else the root's
    // "import-fixture.json".
    std::filesystem::path importFixturePath;
    // Show the onboarding at launch even in automation mode.
    bool forceOnboarding = false;
    // TARNI_DEBUG_MENU=1: the views add the automation debug menu.
    bool debugMenuEnabled = false;
    // TARNI_UITEST_ENABLE_QUEUE_MONITOR=1: watch the host's queue in
    // automation mode too (after a pause).
    bool queueMonitorEnabled = false;

    static UITestConfig read(const QStringList &arguments, const QProcessEnvironment &environment);
    // Read once from this process.
    static const UITestConfig &current();

    // The file name of the automation state dump in the root.
    static constexpr const char *kStateFileName = "state.json";
    static constexpr const char *kDefaultFixtureName = "import-fixture.json";
};

} // namespace tarni

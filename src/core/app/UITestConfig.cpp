#include "app/UITestConfig.h"

#include "common/DataRoot.h"

#include <QCoreApplication>

namespace tarni {

namespace {

bool isOn(const QProcessEnvironment &environment, const char *name)
{
    return environment.value(QString::fromLatin1(name)) == QLatin1String("1");
}

// "--name" or "--name=VALUE"; the value when one was given.
std::optional<QString> argument(const QStringList &arguments, const char *name, bool *present)
{
    const QString flag = QString::fromLatin1(name);
    for (const QString &arg : arguments) {
        if (arg == flag) {
            *present = true;
            return std::nullopt;
        }
        if (arg.startsWith(flag + QLatin1Char('='))) {
            *present = true;
            return arg.mid(flag.size() + 1);
        }
    }
    return std::nullopt;
}

bool hasArgument(const QStringList &arguments, const char *name)
{
    bool present = false;
    argument(arguments, name, &present);
    return present;
}

} // namespace

std::optional<UITestWorkspaceSeed> uiTestWorkspaceSeedFromName(const QString &name)
{
    for (auto seed : {UITestWorkspaceSeed::sample, UITestWorkspaceSeed::browser, UITestWorkspaceSeed::slack,
                      UITestWorkspaceSeed::file}) {
        if (name == uiTestWorkspaceSeedName(seed))
            return seed;
    }
    return std::nullopt;
}

QString uiTestWorkspaceSeedName(UITestWorkspaceSeed seed)
{
    switch (seed) {
    case UITestWorkspaceSeed::sample:
        return QStringLiteral("sample");
    case UITestWorkspaceSeed::browser:
        return QStringLiteral("browser");
    case UITestWorkspaceSeed::slack:
        return QStringLiteral("slack");
    case UITestWorkspaceSeed::file:
        return QStringLiteral("file");
    }
    return {};
}

UITestConfig UITestConfig::read(const QStringList &arguments, const QProcessEnvironment &environment)
{
    UITestConfig config;
    config.isUITestMode = hasArgument(arguments, "--uitest-mode") || isOn(environment, "TARNI_UITEST_MODE");
    config.shouldReset = hasArgument(arguments, "--uitest-reset") || isOn(environment, "TARNI_UITEST_RESET");

    const QString rootOverride = environment.value(QStringLiteral("TARNI_UITEST_ROOT"));
    if (!rootOverride.isEmpty()) {
        config.rootOverridden = true;
        config.applicationSupportRoot =
            std::filesystem::absolute(std::filesystem::path(rootOverride.toStdString())).lexically_normal();
    } else {
        config.applicationSupportRoot =
            dataHomeDirectory() / (config.isUITestMode ? "TarniBarUITests" : "TarniBar");
    }
    if (config.isUITestMode) {
        auto folder = config.applicationSupportRoot.filename();
        if (folder.empty())
            folder = config.applicationSupportRoot.parent_path().filename();
        config.defaultsSuiteName = QStringLiteral("TarniBarUITests.") + QString::fromStdString(folder.string());
    }

    for (const char *seed : {"browser", "slack", "file", "sample"}) {
        if (hasArgument(arguments, (std::string("--uitest-seed-") + seed).c_str()))
            config.seedWorkspace = uiTestWorkspaceSeedFromName(QString::fromLatin1(seed));
    }
    if (!config.seedWorkspace)
        config.seedWorkspace = uiTestWorkspaceSeedFromName(environment.value(QStringLiteral("TARNI_UITEST_SEED")));

    config.simulateChromeConnected = hasArgument(arguments, "--uitest-simulate-chrome-connected") ||
        isOn(environment, "TARNI_UITEST_SIMULATE_CHROME_CONNECTED");
    config.simulateChromeCurrentWindow = hasArgument(arguments, "--uitest-simulate-chrome-window") ||
        isOn(environment, "TARNI_UITEST_SIMULATE_CHROME_WINDOW");

    const QString permission = environment.value(QStringLiteral("TARNI_UITEST_PERMISSION"));
    if (hasArgument(arguments, "--uitest-permission-denied") || permission == QLatin1String("denied"))
        config.simulatedPermissionStatus = PermissionStatus::denied;
    else if (hasArgument(arguments, "--uitest-permission-granted") || permission == QLatin1String("granted"))
        config.simulatedPermissionStatus = PermissionStatus::granted;

    bool fixtureArgument = false;
    const auto fixtureValue = argument(arguments, "--uitest-import-fixture", &fixtureArgument);
    const QString fixtureVariable = environment.value(QStringLiteral("TARNI_UITEST_IMPORT_FIXTURE"));
    QString fixture;
    if (fixtureArgument) {
        config.importFixtureOnLaunch = true;
        fixture = fixtureValue.value_or(QString());
    } else if (!fixtureVariable.isEmpty() && fixtureVariable != QLatin1String("0")) {
        config.importFixtureOnLaunch = true;
        if (fixtureVariable != QLatin1String("1"))
            fixture = fixtureVariable;
    }
    config.importFixturePath = fixture.isEmpty() ? config.applicationSupportRoot / kDefaultFixtureName
                                                 : std::filesystem::path(fixture.toStdString());

    config.forceOnboarding =
        hasArgument(arguments, "--uitest-show-onboarding") || isOn(environment, "TARNI_UITEST_SHOW_ONBOARDING");
    config.debugMenuEnabled = isOn(environment, "TARNI_DEBUG_MENU");
    config.queueMonitorEnabled = isOn(environment, "TARNI_UITEST_ENABLE_QUEUE_MONITOR");
    return config;
}

const UITestConfig &UITestConfig::current()
{
    static const UITestConfig config =
        read(QCoreApplication::instance() ? QCoreApplication::arguments() : QStringList(),
             QProcessEnvironment::systemEnvironment());
    return config;
}

} // namespace tarni

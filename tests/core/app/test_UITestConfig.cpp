// Which switch (argument or variable) sets which part of the configuration.

#include "app/UITestConfig.h"

#include <QHash>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

UITestConfig read(const QStringList &arguments, const QHash<QString, QString> &variables = {})
{
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QStringLiteral("/data"));
    for (auto it = variables.begin(); it != variables.end(); ++it)
        environment.insert(it.key(), it.value());
    qputenv("XDG_DATA_HOME", "/data");
    return UITestConfig::read(arguments, environment);
}

TEST(UITestConfig, EverySwitchByArgumentOrVariable)
{
    const UITestConfig none = read({});
    EXPECT_FALSE(none.isUITestMode);
    EXPECT_EQ(none.applicationSupportRoot, std::filesystem::path("/data/TarniBar"));
    EXPECT_FALSE(none.defaultsSuiteName);
    EXPECT_FALSE(none.seedWorkspace);
    EXPECT_FALSE(none.simulatedPermissionStatus);

    for (const UITestConfig &on : {read({QStringLiteral("--uitest-mode")}),
                                   read({}, {{QStringLiteral("TARNI_UITEST_MODE"), QStringLiteral("1")}})}) {
        EXPECT_TRUE(on.isUITestMode);
        EXPECT_EQ(on.applicationSupportRoot, std::filesystem::path("/data/TarniBarUITests"));
        EXPECT_EQ(on.defaultsSuiteName, QStringLiteral("TarniBarUITests.TarniBarUITests"));
    }
    EXPECT_FALSE(read({}, {{QStringLiteral("TARNI_UITEST_MODE"), QStringLiteral("0")}}).isUITestMode);

    // The root variable wins in either mode; the suite follows its folder name.
    const UITestConfig rooted = read({QStringLiteral("--uitest-mode")}, {{QStringLiteral("TARNI_UITEST_ROOT"), QStringLiteral("/tmp/run-7/")}});
    EXPECT_EQ(rooted.applicationSupportRoot, std::filesystem::path("/tmp/run-7/"));
    EXPECT_EQ(rooted.defaultsSuiteName, QStringLiteral("TarniBarUITests.run-7"));
    EXPECT_EQ(read({}, {{QStringLiteral("TARNI_UITEST_ROOT"), QStringLiteral("/tmp/x")}}).applicationSupportRoot,
              std::filesystem::path("/tmp/x"));

    EXPECT_EQ(read({QStringLiteral("--uitest-seed-slack")}).seedWorkspace, UITestWorkspaceSeed::slack);
    EXPECT_EQ(read({}, {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("file")}}).seedWorkspace, UITestWorkspaceSeed::file);
    EXPECT_FALSE(read({}, {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("everything")}}).seedWorkspace);

    EXPECT_EQ(read({QStringLiteral("--uitest-permission-denied")}).simulatedPermissionStatus, PermissionStatus::denied);
    EXPECT_EQ(read({}, {{QStringLiteral("TARNI_UITEST_PERMISSION"), QStringLiteral("granted")}}).simulatedPermissionStatus,
              PermissionStatus::granted);
    EXPECT_FALSE(read({}, {{QStringLiteral("TARNI_UITEST_PERMISSION"), QStringLiteral("maybe")}}).simulatedPermissionStatus);

    const UITestConfig fixtureDefault = read({QStringLiteral("--uitest-mode"), QStringLiteral("--uitest-import-fixture")});
    EXPECT_TRUE(fixtureDefault.importFixtureOnLaunch);
    EXPECT_EQ(fixtureDefault.importFixturePath, std::filesystem::path("/data/TarniBarUITests/import-fixture.json"));
    const UITestConfig fixtureGiven = read({}, {{QStringLiteral("TARNI_UITEST_IMPORT_FIXTURE"), QStringLiteral("/f/tree.json")}});
    EXPECT_TRUE(fixtureGiven.importFixtureOnLaunch);
    EXPECT_EQ(fixtureGiven.importFixturePath, std::filesystem::path("/f/tree.json"));
}

} // namespace

// The application core as a process of its own in automation mode, observed
// only through the state dump it writes: the automation switches, the
// desktop's language, and the recorded openings.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class AppCoreHeadless : public ::testing::Test {
protected:
    // Runs the core to the end of its commands; the state it left. An empty
    // value removes the variable.
    QJsonObject run(const QString &root, const QHash<QString, QString> &variables, const QStringList &commands)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TARNI_UITEST_MODE"), QStringLiteral("1"));
        environment.insert(QStringLiteral("TARNI_UITEST_ROOT"), root);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        for (auto it = variables.begin(); it != variables.end(); ++it) {
            if (it.value().isEmpty())
                environment.remove(it.key());
            else
                environment.insert(it.key(), it.value());
        }
        QStringList arguments;
        for (const QString &command : commands)
            arguments << QStringLiteral("--run") << command;
        QProcess core;
        core.setProcessEnvironment(environment);
        core.start(QStringLiteral(TARNI_HEADLESS_CORE), arguments);
        EXPECT_TRUE(core.waitForFinished(30000));
        EXPECT_EQ(core.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(core.exitCode(), 0) << core.readAllStandardError().toStdString();
        QFile state(root + QStringLiteral("/state.json"));
        EXPECT_TRUE(state.open(QIODevice::ReadOnly));
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(state.readAll(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
        return document.object();
    }

    static QStringList titles(const QJsonObject &state)
    {
        QStringList out;
        for (const QJsonValue &node : state[QStringLiteral("nodes")].toArray())
            out << node[QStringLiteral("title")].toString();
        return out;
    }

    QTemporaryDir dir;
};

TEST_F(AppCoreHeadless, TheStateDumpCarriesEveryFieldInTheDesktopsLanguage)
{
    const QString root = dir.filePath(QStringLiteral("browser"));
    const QJsonObject state = run(root,
                                  {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("browser")},
                                   {QStringLiteral("TARNI_UITEST_SIMULATE_CHROME_CONNECTED"), QStringLiteral("1")},
                                   {QStringLiteral("LANGUAGE"), QString()},
                                   {QStringLiteral("LC_ALL"), QString()},
                                   {QStringLiteral("LC_MESSAGES"), QString()},
                                   {QStringLiteral("LANG"), QStringLiteral("ja_JP.UTF-8")}},
                                  {QStringLiteral("select=Research"), QStringLiteral("captureWindow")});
    for (const char *field : {"nodes", "selectedNodeID", "lastOpenSummary", "chromeConnectionSummary",
                              "latestImportStatus", "latestExportPath", "sidebarWidthDescription", "alertMessage",
                              "showOnboarding", "appLanguage", "autoCheckUpdatesEnabled", "updatesConfigured",
                              "updatesStatus", "permissionStatus", "openedURLs", "revealedURLs", "movedWindows"})
        EXPECT_TRUE(state.contains(QLatin1String(field))) << field;

    // The sample window of the simulated browser went under the selected
    // group, which stays selected.
    const QJsonArray nodes = state[QStringLiteral("nodes")].toArray();
    const QStringList names = titles(state);
    ASSERT_TRUE(names.contains(QStringLiteral("Chrome Window"))) << names.join(QLatin1Char(',')).toStdString();
    const QJsonObject window = nodes[names.indexOf(QStringLiteral("Chrome Window"))].toObject();
    const QJsonValue research = nodes[names.indexOf(QStringLiteral("Research"))][QStringLiteral("id")];
    EXPECT_EQ(state[QStringLiteral("selectedNodeID")], research);
    EXPECT_EQ(research, window[QStringLiteral("parentID")]);

    EXPECT_EQ(state[QStringLiteral("chromeConnectionSummary")].toString(),
              QStringLiteral("Chrome の現在のウインドウを取り込みました"));
    EXPECT_EQ(state[QStringLiteral("lastOpenSummary")].toString(), QStringLiteral("準備完了"));
    EXPECT_EQ(state[QStringLiteral("appLanguage")].toString(), QStringLiteral("system"));
    EXPECT_EQ(state[QStringLiteral("permissionStatus")].toString(), QStringLiteral("granted"));
    EXPECT_FALSE(state[QStringLiteral("showOnboarding")].toBool());
    EXPECT_TRUE(state[QStringLiteral("alertMessage")].isNull());
    EXPECT_TRUE(state[QStringLiteral("latestExportPath")].isNull());
}

TEST_F(AppCoreHeadless, OpeningsAreRecordedAndAFixtureIsImportedAtLaunch)
{
    const QString root = dir.filePath(QStringLiteral("file"));
    const QJsonObject files = run(root,
                                  {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("file")},
                                   {QStringLiteral("TARNI_UITEST_PERMISSION"), QStringLiteral("denied")},
                                   {QStringLiteral("LANGUAGE"), QStringLiteral("zh_TW")}},
                                  {QStringLiteral("select=Project Plan.txt"), QStringLiteral("open"),
                                   QStringLiteral("reveal"), QStringLiteral("select=Project Files"),
                                   QStringLiteral("export")});
    const QString plan = QUrl::fromLocalFile(root + QStringLiteral("/Seed Files/Project Plan.txt")).toString();
    EXPECT_EQ(files[QStringLiteral("openedURLs")].toArray(), QJsonArray{plan});
    EXPECT_EQ(files[QStringLiteral("revealedURLs")].toArray(), QJsonArray{plan});
    EXPECT_EQ(files[QStringLiteral("movedWindows")].toArray(), QJsonArray{});
    EXPECT_EQ(files[QStringLiteral("permissionStatus")].toString(), QStringLiteral("denied"));
    EXPECT_EQ(files[QStringLiteral("lastOpenSummary")].toString(), QStringLiteral("已在文件管理器中显示该项目"));
    const QString exported = files[QStringLiteral("latestExportPath")].toString();
    EXPECT_TRUE(exported.startsWith(root + QStringLiteral("/Exports/workspace-export "))) << exported.toStdString();

    // A reset start on the same root with that export as fixture: the seed
    // is gone, the fixture's four nodes are there.
    const QString fixture = dir.filePath(QStringLiteral("fixture.json"));
    ASSERT_TRUE(QFile::copy(exported, fixture));
    const QJsonObject imported = run(root,
                                     {{QStringLiteral("TARNI_UITEST_RESET"), QStringLiteral("1")},
                                      {QStringLiteral("TARNI_UITEST_IMPORT_FIXTURE"), fixture},
                                      {QStringLiteral("LANGUAGE"), QStringLiteral("fr_FR")}},
                                     {});
    EXPECT_EQ(imported[QStringLiteral("latestImportStatus")].toString(), QStringLiteral("Imported 4 node(s)"));
    EXPECT_EQ(imported[QStringLiteral("openedURLs")].toArray(), QJsonArray{});
    EXPECT_FALSE(QFile::exists(exported)) << "the reset emptied the root";
    EXPECT_EQ(titles(imported).count(QStringLiteral("Project Files")), 1);
    EXPECT_EQ(imported[QStringLiteral("nodes")].toArray().size(), 4 + 4) << "the sample of a first start, and the fixture";
}

} // namespace

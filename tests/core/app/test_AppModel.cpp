// The application core on a real store in a temporary root: start-up,
// commands and their status texts, with a recording opener and the bridge's
// replies scripted.

#include "AppTestSupport.h"

#include "util/Localized.h"
#include "archive/TreeExportFile.h"
#include "chrome/ChromeExtensionIdentity.h"
#include "common/ApplicationLaunch.h"
#include "common/NativeHostPresence.h"
#include "storage/WorkspaceStore.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSignalSpy>

#include <fstream>
#include <thread>

using namespace tarni;
using namespace tarni::test;

namespace {

const QStringList kNormal{};
const QStringList kAutomation{QStringLiteral("--uitest-mode")};

class AppModelTest : public AppTest {
protected:
    void reply(ChromeCommandResponse response)
    {
        env->chromeBridge().setCommandHandler([response](ChromeCommand) -> QCoro::Task<ChromeSendResult> {
            co_return response;
        });
    }
    ChromeCommandResponse captured(ChromeCapturePayload capture)
    {
        return ChromeCommandResponse{true, QStringLiteral("ok"), std::nullopt, std::move(capture), {}};
    }
    static BrowserTarget target(int i)
    {
        return BrowserTarget{QStringLiteral("https://example.org/%1").arg(i), QStringLiteral("Tab %1").arg(i),
                             std::nullopt, BrowserOpenMode::existingTab, std::nullopt};
    }
};

TEST_F(AppModelTest, AFirstStartSeedsTheSampleOnceAndKeepsSnapshotsOfAnEmptiedWorkspace)
{
    AppModel &model = start(kNormal);
    EXPECT_TRUE(QFile::exists(root() + QStringLiteral("/workspace.sqlite")));
    EXPECT_EQ(recordedApplicationExecutable(root().toStdString()),
              std::filesystem::path(QCoreApplication::applicationFilePath().toStdString()));
    ASSERT_EQ(titles(std::nullopt), QStringList{QStringLiteral("Today")});
    const WorkspaceNode today = children(std::nullopt).front();
    EXPECT_EQ(titles(today.id()),
              (QStringList{QStringLiteral("Example"), QStringLiteral("C456"), QStringLiteral("root")}));
    EXPECT_EQ(children(today.id())[2].kind(), WorkspaceNodeKind::folder);
    EXPECT_EQ(model.selectionCoordinator().selectedNodeID(), today.id());
    EXPECT_TRUE(model.showOnboarding());
    EXPECT_EQ(model.treeViewModel().workspace()->title, QStringLiteral("Workspace"));
    EXPECT_EQ(model.sidebarWidthDescription(), QStringLiteral("Sidebar width 320 pt"));
    EXPECT_EQ(model.updatesStatus(), QStringLiteral("Updates are unavailable for this build."));

    // Emptied by the user, with a snapshot kept: the next start seeds again
    // and the snapshot survives.
    model.saveSnapshotOfWorkspace();
    model.selectNodeWithoutOpening(today.id());
    model.deleteSelectedNode();
    ASSERT_TRUE(model.treeViewModel().nodes().isEmpty());
    model.completeOnboarding();

    AppModel &again = start(kNormal);
    EXPECT_EQ(again.treeViewModel().nodes().size(), 4);
    EXPECT_EQ(again.snapshots().size(), 1);
    EXPECT_FALSE(again.showOnboarding());
    again.reopenOnboarding();
    EXPECT_TRUE(again.showOnboarding());
    EXPECT_EQ(again.latestImportStatus(), QStringLiteral("Onboarding"));

    // A start on a workspace with nodes adds nothing.
    again.addGroup();
    EXPECT_EQ(start(kNormal).treeViewModel().nodes().size(), 5);
}

TEST_F(AppModelTest, AResetEmptiesAnExplicitRootButNeverTheUsersOwn)
{
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    const QHash<QString, QString> usualRoot{{QStringLiteral("TARNI_UITEST_ROOT"), QString()}};
    const QStringList reset{QStringLiteral("--uitest-reset")};
    start(kNormal, usualRoot).addGroup();
    EXPECT_EQ(start(reset, usualRoot).treeViewModel().nodes().size(), 5);
    EXPECT_TRUE(QFile::exists(dir.filePath(QStringLiteral("data/TarniBar/workspace.sqlite"))));

    start(kNormal).addGroup();
    EXPECT_EQ(start(reset).treeViewModel().nodes().size(), 4);
}

TEST_F(AppModelTest, AutomationOpensNothingAndASecondApplicationIsRefused)
{
    AppModel &model = start(kAutomation, {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("browser")}});
    EXPECT_EQ(opener, nullptr) << "the desktop opener is never built in automation mode";
    EXPECT_EQ(model.dependencies().permissionCoordinator->accessibilityStatus(), PermissionStatus::granted);
    EXPECT_FALSE(model.showOnboarding());

    // Without the extension a tab goes to the (recording) default browser.
    const WorkspaceNode tab = children(children(std::nullopt).front().id()).front();
    model.selectNodeWithoutOpening(tab.id());
    await(model.openSelectedNode());
    EXPECT_EQ(model.dependencies().uiTestSupport->openedURLs(), QList<QUrl>{QUrl(tab.payload().asChromeTab()->url)});
    EXPECT_TRUE(model.treeViewModel().node(tab.id())->lastOpenedAt());

    // A second application on the same root is refused while this one runs;
    // a tarnibar-cli edit holding the lock for a moment is waited for.
    const UITestConfig config = model.dependencies().uiTestConfig;
    PlatformServices platform;
    platform.lockWait = std::chrono::milliseconds(100);
    EXPECT_FALSE(AppEnvironment::create(config, platform));
    env.reset();
    InstanceLock edit;
    ASSERT_TRUE(edit.tryAcquire(config.applicationSupportRoot, nullptr, InstanceLock::Holder::commandLineTool));
    std::thread release([&edit] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        edit.release();
    });
    platform.lockWait = std::chrono::milliseconds(5000);
    EXPECT_TRUE(AppEnvironment::create(config, platform));
    release.join();

    AppModel &denied = start(kAutomation, {{QStringLiteral("TARNI_UITEST_PERMISSION"), QStringLiteral("denied")},
                                           {QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("file")}});
    EXPECT_EQ(denied.dependencies().permissionCoordinator->accessibilityStatus(), PermissionStatus::denied);
    const WorkspaceNode file = children(children(std::nullopt).front().id()).front();
    ASSERT_EQ(file.kind(), WorkspaceNodeKind::file);
    denied.selectNodeWithoutOpening(file.id());
    await(denied.openSelectedNode());
    EXPECT_EQ(denied.dependencies().uiTestSupport->openedURLs(),
              QList<QUrl>{QUrl::fromLocalFile(file.payload().asFile()->path)});
    EXPECT_TRUE(denied.dependencies().uiTestSupport->movedWindows().isEmpty()) << "no permission, no move";
}

TEST_F(AppModelTest, AddingGoesIntoASelectedGroupOrBesideAnyOtherNode)
{
    AppModel &model = start(kAutomation, {{QStringLiteral("TARNI_UITEST_SEED"), QStringLiteral("slack")}});
    const WorkspaceNode team = children(std::nullopt).front();
    const WorkspaceNode thread = children(team.id()).front();
    model.selectNodeWithoutOpening(thread.id());
    model.addGroup();
    EXPECT_EQ(model.inspectorViewModel().selectedNode()->parentID(), team.id());
    model.addWebLink(QStringLiteral("https://example.com/inside"));
    const auto link = model.inspectorViewModel().selectedNode();
    EXPECT_EQ(model.treeViewModel().node(link->parentID())->title(), QStringLiteral("New Group"));

    // A captured tab goes under the selected node itself, even a link.
    reply(captured(ChromeCapturePayload::tab(target(1))));
    await(model.captureCurrentChromeTab());
    EXPECT_EQ(model.treeViewModel().node(model.lastCapturedNodeID())->parentID(), link->id());
    EXPECT_EQ(model.chromeConnectionSummary(), QStringLiteral("Captured current Chrome tab"));
}

TEST_F(AppModelTest, CapturingAWindowMakesAGroupAndAnUnansweredCaptureStoresNothing)
{
    AppModel &model = start(kAutomation);
    model.selectNodeWithoutOpening(std::nullopt);
    reply(captured(ChromeCapturePayload::window({target(1), target(2), target(3)})));
    await(model.captureCurrentChromeWindow());
    const auto group = model.treeViewModel().node(model.lastCapturedNodeID());
    ASSERT_TRUE(group);
    EXPECT_EQ(group->title(), QStringLiteral("Chrome Window"));
    EXPECT_EQ(group->parentID(), std::nullopt);
    EXPECT_EQ(titles(group->id()), (QStringList{QStringLiteral("Tab 1"), QStringLiteral("Tab 2"), QStringLiteral("Tab 3")}));
    EXPECT_EQ(model.chromeConnectionSummary(), QStringLiteral("Captured current Chrome window"));

    // No reply (the real bridge after its timeout): nothing is stored, and
    // the reply's own words are shown.
    const qsizetype before = model.treeViewModel().nodes().size();
    reply(ChromeCommandResponse{false, QStringLiteral("Chrome did not respond"), std::nullopt,
                                ChromeCapturePayload::tab(target(9)), {}});
    await(model.captureCurrentChromeTab());
    await(model.captureCurrentChromeWindow());
    EXPECT_EQ(model.treeViewModel().nodes().size(), before);
    EXPECT_EQ(model.chromeConnectionSummary(), QStringLiteral("Chrome did not respond"));
    EXPECT_FALSE(model.alertMessage());
}

// Captures in a row line up under the selected node, which stays selected
// and opens to show them; the tabs they came from are bound to the nodes.
TEST_F(AppModelTest, CapturesLineUpUnderTheSelectionAndBindTheirTabs)
{
    AppModel &model = start(kAutomation);
    model.selectNodeWithoutOpening(std::nullopt);
    model.addGroup();
    const QUuid parent = *model.selectionCoordinator().selectedNodeID();
    model.setCollapsed(parent, true);
    const ChromeStateCache &tabs = *model.dependencies().chromeStateCache;

    reply(captured(ChromeCapturePayload::tab(target(1), RuntimeTabBinding{3, 30})));
    ASSERT_TRUE(await(model.captureCurrentChromeTab()));
    const QUuid first = *model.lastCapturedNodeID();
    ASSERT_TRUE(await(model.captureCurrentChromeTab()));
    reply(captured(ChromeCapturePayload::window({target(2), target(3)}, {RuntimeTabBinding{4, 40}, RuntimeTabBinding{4, 41}})));
    ASSERT_TRUE(await(model.captureCurrentChromeWindow()));
    const QUuid window = *model.lastCapturedNodeID();
    // Bindings that do not pair up with the tabs are not used.
    reply(captured(ChromeCapturePayload::window({target(4), target(5)}, {RuntimeTabBinding{4, 42}})));
    ASSERT_TRUE(await(model.captureCurrentChromeWindow()));

    EXPECT_EQ(model.selectionCoordinator().selectedNodeID(), parent);
    EXPECT_FALSE(model.treeViewModel().node(parent)->isCollapsed());
    EXPECT_EQ(titles(parent), (QStringList{QStringLiteral("Tab 1"), QStringLiteral("Tab 1"), QStringLiteral("Chrome Window"),
                                           QStringLiteral("Chrome Window")}));
    EXPECT_EQ(tabs.binding(first), (RuntimeTabBinding{3, 30}));
    const NodeList windowTabs = children(window);
    ASSERT_EQ(windowTabs.size(), 2);
    EXPECT_EQ(tabs.binding(windowTabs[1].id()), (RuntimeTabBinding{4, 41}));
    EXPECT_EQ(tabs.binding(children(model.lastCapturedNodeID()).front().id()), std::nullopt);
}

TEST_F(AppModelTest, ChromeSetupAndSlackThreadsSentFromChrome)
{
    AppModel &model = start(kAutomation);
    model.installNativeHostManifest();
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Installed native host manifest at ") + root() +
                                              QStringLiteral("/NativeMessagingHosts/com.tarni.bar.chrome.json"));
    QFile manifest(root() + QStringLiteral("/NativeMessagingHosts/com.tarni.bar.chrome.json"));
    ASSERT_TRUE(manifest.open(QIODevice::ReadOnly));
    const QByteArray text = manifest.readAll();
    EXPECT_TRUE(text.contains(QByteArray("chrome-extension://") + kChromeExtensionID + '/')) << text.toStdString();
    EXPECT_TRUE(text.contains((root() + QStringLiteral("/TarniBarChromeHost")).toUtf8()));

    await(model.revealBundledChromeExtension());
    const auto revealed = model.dependencies().uiTestSupport->revealedURLs();
    ASSERT_EQ(revealed.size(), 1);
    EXPECT_TRUE(QFile::exists(revealed.front().toLocalFile() + QStringLiteral("/manifest.json")));
    EXPECT_EQ(model.latestImportStatus(),
              QStringLiteral("Opened the Chrome extension folder ") + revealed.front().toLocalFile());

    // A thread sent from the browser is stored once, beside the selection.
    const WorkspaceNode today = children(std::nullopt).front();
    model.selectNodeWithoutOpening(children(today.id()).front().id());
    env->chromeBridge().simulate(ChromeEvent::saveSlackThread(
        SlackTarget{QStringLiteral("https://app.slack.com/client/T9/C77/thread/C77-1712345678.000100"), {}, {}, {},
                    SlackOpenMode::browserPermalink}));
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Saved Slack thread from Chrome"));
    EXPECT_EQ(titles(today.id()).count(QStringLiteral("C77")), 1);
    EXPECT_FALSE(env->chromeBridge().latestSlackCapture());

    // A message from the queue is stored once: also when it comes again (the
    // application stopped before removing its file), and after its node went
    // to the trash.
    const std::filesystem::path queue = std::filesystem::path(root().toStdString()) / "NativeHostQueue";
    auto takeIn = [&] {
        std::filesystem::create_directories(queue);
        std::ofstream(queue / "1-E.json")
            << R"({"id":"e0000000-0000-4000-8000-000000000000","message":{"type":"saveSlackThread","slackThread":)"
               R"({"permalinkURL":"https://app.slack.com/client/T9/C88/thread/C88-1712345678.000100",)"
               R"("preferredOpenMode":"browserPermalink"}}})";
        env->chromeBridge().startQueueMonitoring();
        return spinUntil([&] { return std::filesystem::is_empty(queue); });
    };
    auto stored = [&] {
        return std::count_if(model.treeViewModel().nodes().begin(), model.treeViewModel().nodes().end(),
                             [](const WorkspaceNode &node) { return node.title() == QStringLiteral("C88"); });
    };
    ASSERT_TRUE(takeIn());
    ASSERT_EQ(stored(), 1);
    ASSERT_TRUE(takeIn());
    EXPECT_EQ(stored(), 1);
    model.deleteSelectedNode();
    ASSERT_EQ(stored(), 0);
    ASSERT_TRUE(takeIn());
    EXPECT_EQ(stored(), 0);

    // The header follows the running hosts, from the start on.
    auto host = NativeHostPresence::announce(nativeHostsDirectory(root().toStdString()));
    ASSERT_TRUE(host);
    EXPECT_TRUE(spinUntil([&] { return model.chromeConnectionSummary() == QStringLiteral("Chrome connected"); }));
    AppModel &again = start(kAutomation);
    EXPECT_EQ(again.chromeConnectionSummary(), QStringLiteral("Chrome connected"));
    host.reset();
    EXPECT_TRUE(spinUntil(
        [&] { return again.chromeConnectionSummary() == QStringLiteral("Chrome extension not connected"); }));
}

TEST_F(AppModelTest, OpeningStampsOnlyARealOpen)
{
    openerAccepts = false;
    AppModel &model = start(kNormal);
    const WorkspaceNode example = children(children(std::nullopt).front().id()).front();
    model.selectNodeWithoutOpening(example.id());
    EXPECT_FALSE(await(model.openSelectedNode()));
    EXPECT_EQ(opener->opened.size(), 1);
    EXPECT_FALSE(model.treeViewModel().node(example.id())->lastOpenedAt());
    EXPECT_TRUE(model.lastOpenSummary().startsWith(QStringLiteral("Could not open")));
    // The folder Chrome must load is named whether or not it was shown.
    await(model.revealBundledChromeExtension());
    ASSERT_EQ(opener->revealed.size(), 1);
    EXPECT_EQ(model.latestImportStatus(),
              QStringLiteral("Could not open the Chrome extension folder ") + opener->revealed.front().toLocalFile());

    opener->accepts = true;
    EXPECT_TRUE(await(model.openSelectedNode()));
    EXPECT_TRUE(model.treeViewModel().node(example.id())->lastOpenedAt());
    EXPECT_EQ(model.lastOpenSummary(), QStringLiteral("Opened link"));

    // Revealing a group changes nothing; restoring a subtree without tabs says so.
    model.selectNodeWithoutOpening(children(std::nullopt).front().id());
    await(model.revealSelectedInFinder());
    EXPECT_EQ(opener->revealed.size(), 1);
    EXPECT_FALSE(await(model.restoreSelectedSubtree()));
    EXPECT_EQ(model.lastOpenSummary(), QStringLiteral("No browser descendants to restore"));
}

TEST_F(AppModelTest, SnapshotsOfBothKindsRestoreAndSayWhatTheyDid)
{
    AppModel &model = start(kAutomation);
    EXPECT_FALSE(model.restoreLatestSnapshot());
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("No snapshots available"));

    const WorkspaceNode today = children(std::nullopt).front();
    model.selectNodeWithoutOpening(std::nullopt);
    model.saveSnapshotOfSelectedSubtree();
    ASSERT_EQ(model.snapshots().size(), 1);
    EXPECT_EQ(model.snapshots().front().title, QStringLiteral("Workspace Snapshot"));

    model.selectNodeWithoutOpening(today.id());
    model.addGroup();
    model.restoreSnapshot(model.snapshots().front().id);
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Restored workspace snapshot"));
    EXPECT_EQ(model.treeViewModel().nodes().size(), 4);
    const auto all = model.snapshots();
    ASSERT_EQ(all.size(), 2);
    EXPECT_TRUE(all.front().title.startsWith(QStringLiteral("Before restore "))) << all.front().title.toStdString();

    // Names of new snapshots, with their dates, follow the interface
    // language; stored names stay as they were.
    model.setLanguage(AppLanguage::japanese);
    model.saveSnapshotOfWorkspace();
    model.restoreSnapshot(model.snapshots().front().id);
    const auto named = model.snapshots();
    ASSERT_EQ(named.size(), 4);
    EXPECT_EQ(named[1].title, QStringLiteral("ワークスペースのスナップショット"));
    EXPECT_EQ(named[0].title.left(4), QStringLiteral("復元前 "));
    EXPECT_TRUE(QLocale(QLocale::Japanese, QLocale::Japan).toDateTime(named[0].title.mid(4), QLocale::ShortFormat).isValid())
        << named[0].title.toStdString();
    EXPECT_EQ(named[3].title, QStringLiteral("Workspace Snapshot"));
    model.setLanguage(AppLanguage::english);

    // Where a subtree snapshot's copy goes is the snapshot service's; here
    // only what the model says about it.
    const WorkspaceNode example = children(children(std::nullopt).front().id()).front();
    model.selectNodeWithoutOpening(example.id());
    model.saveSnapshotOfSelectedSubtree();
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Saved subtree snapshot"));
    EXPECT_TRUE(model.restoreLatestSnapshot());
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Restored latest subtree snapshot"));
}

TEST_F(AppModelTest, ExportWritesTheFileAndImportCountsAndAppends)
{
    AppModel &model = start(kAutomation);
    const WorkspaceNode today = children(std::nullopt).front();
    model.selectNodeWithoutOpening(today.id());
    model.exportSelectedSubtree();
    const QString file = model.latestExportPath();
    const QFileInfo written(file);
    EXPECT_EQ(written.path(), root() + QStringLiteral("/Exports"));
    EXPECT_TRUE(written.fileName().startsWith(QStringLiteral("workspace-export 2"))) << file.toStdString();
    ASSERT_TRUE(written.exists());
    // The status names the file and its folder, and offers to show it.
    EXPECT_EQ(model.latestImportStatus(),
              QStringLiteral("Exported %1 to %2").arg(written.fileName(), written.path()));
    EXPECT_TRUE(model.latestImportStatusNamesExport());
    EXPECT_TRUE(await(model.revealLatestExport()));
    EXPECT_EQ(model.dependencies().uiTestSupport->revealedURLs().value(0), QUrl::fromLocalFile(file));

    // Exporting again keeps the first file.
    model.exportSelectedSubtree();
    EXPECT_NE(model.latestExportPath(), file);
    EXPECT_TRUE(QFile::exists(file));

    // The subtree (a root and three children) goes after Today's children;
    // the selection stays.
    model.importTree(QUrl::fromLocalFile(file));
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Imported 4 node(s)"));
    EXPECT_EQ(model.selectionCoordinator().selectedNodeID(), today.id());
    EXPECT_EQ(titles(today.id()), (QStringList{QStringLiteral("Example"), QStringLiteral("C456"),
                                              QStringLiteral("root"), QStringLiteral("Today")}));

    // Bad input: an alert, nothing lost.
    const qsizetype before = model.treeViewModel().nodes().size();
    QFile broken(root() + QStringLiteral("/broken.json"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("{\"schemaVersion\": 1, \"rootNode\": ");
    broken.close();
    model.importTree(QUrl::fromLocalFile(broken.fileName()));
    EXPECT_TRUE(model.alertMessage());
    EXPECT_EQ(model.treeViewModel().nodes().size(), before);
}

TEST_F(AppModelTest, UnreachableNodesAreReportedAtLaunchAndRecoveredAfterASnapshot)
{
    start(kAutomation);
    const QUuid workspace = env->appModel().treeViewModel().workspace()->id;
    NodeList nodes = env->appModel().treeViewModel().nodes();
    WorkspaceNode orphan = nodes.front();
    orphan.setId(QUuid::createUuid());
    orphan.setParentID(QUuid::createUuid());
    orphan.setTitle(QStringLiteral("Orphan"));
    nodes.append(orphan);
    ASSERT_TRUE(env->dependencies().workspaceStore->replaceNodes(nodes, workspace));

    AppModel &model = start(kAutomation);
    EXPECT_TRUE(model.latestImportStatus().startsWith(QStringLiteral("1 node(s) cannot be shown")))
        << model.latestImportStatus().toStdString();
    model.recoverUnreachableNodes();
    EXPECT_EQ(model.latestImportStatus(), QStringLiteral("Recovered 1 unreachable node(s)"));
    const auto group = model.inspectorViewModel().selectedNode();
    ASSERT_TRUE(group);
    EXPECT_EQ(group->title(), QStringLiteral("Recovered"));
    EXPECT_EQ(titles(group->id()), QStringList{QStringLiteral("Orphan")});
    ASSERT_EQ(model.snapshots().size(), 1);
    EXPECT_EQ(model.snapshots().front().title, QStringLiteral("Before repair Snapshot"));
}

TEST_F(AppModelTest, PreferencesHaveTheirDefaultsAndReachTheShell)
{
    QSettings(AppEnvironment::settingsFile(QStringLiteral("TarniBar")), QSettings::IniFormat)
        .setValue(QStringLiteral("appLanguage"), QStringLiteral("klingon"));
    AppModel &model = start(kNormal);
    EXPECT_EQ(model.appLanguage(), AppLanguage::system);
    EXPECT_TRUE(model.autoCheckUpdatesEnabled());
    EXPECT_FALSE(model.updatesConfigured());

    QSignalSpy requested(&model, &AppModel::checkForUpdatesRequested);
    model.requestCheckForUpdates();
    EXPECT_EQ(requested.count(), 0);
    EXPECT_EQ(model.updatesStatus(), QStringLiteral("Updates are unavailable for this build."));

    QSignalSpy toggled(&model, &AppModel::autoCheckUpdatesChangeRequested);
    model.setAutoCheckUpdatesEnabled(false);
    ASSERT_EQ(toggled.count(), 1);
    EXPECT_EQ(model.updatesStatus(), QStringLiteral("Automatic update checks are disabled."));
    model.updateCheckStarted(QVariant());
    EXPECT_EQ(model.updatesStatus(), QStringLiteral("Automatic update checks are disabled."));
    model.updateCheckStarted(QStringLiteral("Started a manual Tarni Bar update check."));
    EXPECT_EQ(model.updatesStatus(), QStringLiteral("Started a manual Tarni Bar update check."));

    model.sidebarWidthDidChange(319.6);
    EXPECT_EQ(model.sidebarWidthDescription(), QStringLiteral("Sidebar width 320 pt"));

    // Status lines already shown follow the language, values and all.
    model.setLanguage(AppLanguage::japanese);
    EXPECT_EQ(model.lastOpenSummary(), QStringLiteral("準備完了"));
    EXPECT_EQ(model.sidebarWidthDescription(), QStringLiteral("サイドバーの幅 320 ポイント"));
    model.setLanguage(AppLanguage::simplifiedChinese);
    EXPECT_EQ(model.sidebarWidthDescription(), QStringLiteral("侧边栏宽度 320 点"));
    model.updateCheckStarted(QStringLiteral("Started by the shell"));
    model.setLanguage(AppLanguage::japanese);
    EXPECT_EQ(model.updatesStatus(), QStringLiteral("Started by the shell"));
    EXPECT_FALSE(start(kNormal).autoCheckUpdatesEnabled());
    EXPECT_EQ(env->appModel().appLanguage(), AppLanguage::japanese);

    screen.reset();
    EXPECT_EQ(start(kNormal).sidebarWidthDescription(), localized("Sidebar width unavailable"));

    // A build with updates says how it checks, and hands a manual check to the shell.
    updatesConfigured = true;
    AppModel &configured = start(kNormal);
    EXPECT_EQ(configured.updatesStatus(), localized("Automatic update checks are disabled."));
    QSignalSpy manual(&configured, &AppModel::checkForUpdatesRequested);
    configured.requestCheckForUpdates();
    EXPECT_EQ(manual.count(), 1);
}

} // namespace

int main(int argc, char **argv)
{
    // The texts compared here are the English ones, whatever the desktop's.
    qputenv("LANGUAGE", "en");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "app/AppModel.h"
#include "app/Resources.h"

#include "app/LanguageManager.h"
#include "util/Localized.h"
#include "app/UITestSupport.h"
#include "app/WorkspaceImport.h"
#include "archive/TreeExportFile.h"
#include "chrome/ChromeExtensionIdentity.h"
#include "chrome/ChromeNativeHostBridge.h"
#include "model/JsonEncoding.h"
#include "model/Uuid.h"
#include "opening/NodeProviderRegistry.h"
#include "opening/UrlProviders.h"
#include "app/PermissionCoordinator.h"
#include "app/StoreWorker.h"
#include "model/UnreachableNodes.h"

#include <QDir>
#include <QFileInfo>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QLocale>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcAutoSnapshots, "tarnibar.snapshots.auto")
Q_LOGGING_CATEGORY(lcBrowsers, "tarnibar.browsers")

namespace tarni {

namespace {

// The first daily check waits until start-up is over; then once an hour.
constexpr int kFirstDailyCheckMs = 60 * 1000;
constexpr int kDailyCheckIntervalMs = 60 * 60 * 1000;
// A WAL past this is checkpointed on the store worker after the write that
// grew it (about 25,000 nodes deleted or imported); a smaller one is left to
// SQLite, which reuses it.
constexpr std::uintmax_t kCheckpointWalBytes = 32 * 1024 * 1024;

// Names the node made from a message in the browser's queue after the
// message's envelope, so taking the same message in again finds it.
const QUuid kQueuedMessageNodeNamespace(QStringLiteral("{6f1b9d52-3c47-4e0a-9a63-2d8e5b71c0f4}"));

QString fixedWidth(double width)
{
    return QString::number(std::isfinite(width) ? width : 0.0, 'f', 0);
}

// INI files keep booleans as the text "true" or "false"; anything else is
// no choice at all.
bool storedBoolean(const QSettings &settings, const char *key, bool fallback)
{
    const QString text = settings.value(QLatin1String(key)).toString();
    if (text == QLatin1String("true") || text == QLatin1String("false"))
        return text == QLatin1String("true");
    return fallback;
}

// "~/…" for a path in the home folder, as file managers and shells show it.
QString homeAbbreviated(const QString &path)
{
    const QString home = QDir::homePath();
    if (home.size() > 1 && (path == home || path.startsWith(home + QLatin1Char('/'))))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

QString permissionName(PermissionStatus status)
{
    switch (status) {
    case PermissionStatus::granted:
        return QStringLiteral("granted");
    case PermissionStatus::denied:
        return QStringLiteral("denied");
    case PermissionStatus::unknown:
        break;
    }
    return QStringLiteral("unknown");
}

} // namespace

StatusLine StatusLine::lookedUp(const QString &key, QStringList values)
{
    StatusLine line{{}, key, std::move(values)};
    line.relocalize();
    return line;
}

bool StatusLine::relocalize()
{
    if (key.isEmpty())
        return false;
    QString again = formatted(localized(key), values);
    if (again == text)
        return false;
    text = std::move(again);
    return true;
}

// Marks one command: in automation mode the state is dumped when it ends,
// also when it ends early or in a coroutine that outlived its caller.
class AppModel::CommandScope {
public:
    explicit CommandScope(AppModel *model) : m_model(model) {}
    ~CommandScope()
    {
        if (m_model)
            m_model->writeStateDump();
    }
    CommandScope(const CommandScope &) = delete;
    CommandScope &operator=(const CommandScope &) = delete;

private:
    QPointer<AppModel> m_model;
};

AppModel::AppModel(AppModelDependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_dependencies(std::move(dependencies))
    , m_treeViewModel(*m_dependencies.workspaceStore)
    , m_inspector(m_treeViewModel, m_selection)
    , m_snapshots(*m_dependencies.workspaceStore, m_treeViewModel, *m_dependencies.treeArchiveService)
    , m_lastOpenSummary(StatusLine::lookedUp(textKey("Ready")))
    , m_chromeConnectionSummary(StatusLine::lookedUp(textKey("Chrome extension not connected")))
{
    QSettings &settings = *m_dependencies.settings;
    m_appLanguage = appLanguageFromRawValue(settings.value(QLatin1String(kAppLanguageSettingsKey)).toString())
                        .value_or(AppLanguage::system);
    m_autoCheckUpdatesEnabled = storedBoolean(settings, kAutoCheckUpdatesSettingsKey, true);
    m_openWithSingleClick = storedBoolean(settings, kOpenWithSingleClickSettingsKey, true);
    m_showInspector = storedBoolean(settings, kShowInspectorSettingsKey, true);
    m_updatesConfigured = m_dependencies.updatesConfigured && m_dependencies.updatesConfigured();
    if (m_dependencies.languageManager && m_dependencies.languageManager->currentLanguage() != m_appLanguage)
        m_dependencies.languageManager->setLanguage(m_appLanguage);

    if (m_dependencies.languageManager)
        connect(m_dependencies.languageManager, &LanguageManager::languageDidChange, this,
                &AppModel::relocalizeStatusLines);
    connect(&m_treeViewModel, &TreeViewModel::nodesChanged, this, &AppModel::changed);
    connect(&m_treeViewModel, &TreeViewModel::workspaceChanged, this, &AppModel::changed);
    connect(&m_treeViewModel, &TreeViewModel::historyChanged, this, &AppModel::historyChanged);
    connect(&m_treeViewModel, &TreeViewModel::trashChanged, this, &AppModel::trashChanged);
    bool daysRead = false;
    const int days = settings.value(QLatin1String(kTrashRetentionDaysSettingsKey)).toInt(&daysRead);
    if (daysRead)
        m_trashRetentionDays = std::clamp(days, 1, kMaxTrashRetentionDays);
    m_showsManagedTargetWindow = settings.value(QLatin1String(kShowsManagedTargetWindowSettingsKey), true).toBool();
    connect(&m_selection, &SelectionCoordinator::selectedNodeIDChanged, this, &AppModel::changed);
    // What a search shows decides what is selected as far as the inspector
    // and the keys go.
    connect(&m_treeViewModel, &TreeViewModel::searchQueryChanged, this, &AppModel::changed);
    // A search that ends leaves the node chosen among its results shown.
    // Queued: the outline's rows follow the same signal and must see the
    // query gone before they see groups expand.
    connect(
        &m_treeViewModel, &TreeViewModel::searchQueryChanged, this,
        [this] {
            // Expanding the groups is an edit: not inside a big write.
            m_treeViewModel.whenIdle(this, [this] {
                const auto &selected = m_selection.selectedNodeID();
                if (m_treeViewModel.searchQuery().isEmpty() && selected && m_treeViewModel.node(selected)) {
                    CommandScope scope(this);
                    reveal(*selected);
                    m_selection.select(selected);
                }
            });
        },
        Qt::QueuedConnection);
    bindBridge();

    if (!m_dependencies.workspaceDatabase.empty()) {
        m_storeWorker = std::make_unique<StoreWorker>(m_dependencies.workspaceDatabase, *m_dependencies.workspaceStore,
                                                      *m_dependencies.treeArchiveService);
        // A big edit (a delete, its undo, an import) leaves a WAL of its size.
        connect(&m_treeViewModel, &TreeViewModel::writeSucceeded, this,
                [this] { m_storeWorker->checkpointIfWalExceeds(kCheckpointWalBytes); });
        // Big writes leave the GUI thread; the store's calls are serialized by its lock.
        m_treeViewModel.setWritesOffThread(true);
    }
    // Browser messages wait in their queue while a big write runs (they
    // would edit the tree).
    if (ChromeNativeHostBridge *bridge = m_dependencies.nativeHostBridge)
        connect(&m_treeViewModel, &TreeViewModel::writingChanged, bridge, &ChromeNativeHostBridge::holdQueue);

    m_dailySnapshotTimer = new QTimer(this);
    m_dailySnapshotTimer->setSingleShot(true);
    connect(m_dailySnapshotTimer, &QTimer::timeout, this, [this] {
        m_treeViewModel.whenIdle(this, [this] { takeDailySnapshotIfDue(); });
        m_dailySnapshotTimer->start(kDailyCheckIntervalMs);
    });
}

AppModel::~AppModel() = default;

void AppModel::bindBridge()
{
    ChromeNativeHostBridge *bridge = m_dependencies.nativeHostBridge;
    if (!bridge)
        return;
    auto showConnection = [this, bridge] {
        setChromeConnectionSummary(bridge->isConnected()
                                       ? StatusLine::lookedUp(textKey("Chrome connected"))
                                       : StatusLine::lookedUp(textKey("Chrome extension not connected")));
    };
    showConnection();
    connect(bridge, &ChromeNativeHostBridge::isConnectedChanged, this, showConnection);
    connect(bridge, &ChromeNativeHostBridge::latestSlackCaptureChanged, this, [this, bridge] {
        if (const auto capture = bridge->latestSlackCapture()) {
            // Consumed first: handling it emits again, and must not see it twice.
            const SlackCapture captured = *capture;
            bridge->consumeLatestSlackCapture();
            handleCapturedSlackThread(captured.thread, captured.envelopeID);
        }
    });
}

void AppModel::setContentRectProvider(std::function<std::optional<QRectF>()> provider)
{
    m_contentRect = std::move(provider);
}

// --- state ---------------------------------------------------------------

#define TARNI_SETTER(name, member, signal)                                                                             \
    void AppModel::name(StatusLine line)                                                                               \
    {                                                                                                                  \
        const bool changed = member.text != line.text;                                                                 \
        member = std::move(line);                                                                                      \
        if (changed)                                                                                                   \
            Q_EMIT signal();                                                                                           \
    }
TARNI_SETTER(setLastOpenSummary, m_lastOpenSummary, lastOpenSummaryChanged)
TARNI_SETTER(setChromeConnectionSummary, m_chromeConnectionSummary, chromeConnectionSummaryChanged)
TARNI_SETTER(setLatestImportStatus, m_latestImportStatus, latestImportStatusChanged)
TARNI_SETTER(setSidebarWidthDescription, m_sidebarWidthDescription, sidebarWidthDescriptionChanged)
TARNI_SETTER(setUpdatesStatus, m_updatesStatus, updatesStatusChanged)
#undef TARNI_SETTER

// The status lines follow a change of language at once; the views redraw
// the rest of their texts themselves.
void AppModel::relocalizeStatusLines()
{
    if (m_lastOpenSummary.relocalize())
        Q_EMIT lastOpenSummaryChanged();
    if (m_chromeConnectionSummary.relocalize())
        Q_EMIT chromeConnectionSummaryChanged();
    if (m_latestImportStatus.relocalize())
        Q_EMIT latestImportStatusChanged();
    if (m_sidebarWidthDescription.relocalize())
        Q_EMIT sidebarWidthDescriptionChanged();
    if (m_updatesStatus.relocalize())
        Q_EMIT updatesStatusChanged();
}

void AppModel::setAlert(const QString &description)
{
    m_alertMessage = description;
    Q_EMIT alertMessageChanged();
}

void AppModel::dismissAlert()
{
    if (!m_alertMessage)
        return;
    m_alertMessage.reset();
    Q_EMIT alertMessageChanged();
}

void AppModel::setShowOnboarding(bool show)
{
    if (m_showOnboarding == show)
        return;
    m_showOnboarding = show;
    Q_EMIT showOnboardingChanged();
}

void AppModel::setUpdatesConfigured(bool configured)
{
    if (m_updatesConfigured == configured)
        return;
    m_updatesConfigured = configured;
    Q_EMIT updatesConfiguredChanged();
}

template <class T, class E>
bool AppModel::failed(const Result<T, E> &result)
{
    if (result)
        return false;
    setAlert(localized(result.error().description()));
    return true;
}

void AppModel::select(const std::optional<QUuid> &nodeID)
{
    // Choosing the node already selected reveals nothing: it is how direct
    // edits confirm the selection, and a group someone just collapsed over
    // it is to stay collapsed.
    const bool becomes = nodeID && nodeID != m_selection.selectedNodeID();
    if (becomes)
        reveal(*nodeID);
    m_selection.select(nodeID);
    if (!becomes)
        keepSelectionShown();
}

std::optional<QUuid> AppModel::shownSelectedNodeID() const
{
    const auto node = m_inspector.selectedNode();
    return node ? std::optional(node->id()) : std::nullopt;
}

void AppModel::reveal(const QUuid &nodeID)
{
    const auto node = m_treeViewModel.node(nodeID);
    if (!node || m_inspector.isShown(nodeID))
        return;
    if (m_treeViewModel.projection().isFiltering() && !m_inspector.shownRow(nodeID))
        m_treeViewModel.setSearchQuery(QString());
    // Joins the command that selected the node, if any.
    auto command = m_treeViewModel.beginCommand(nullptr);
    expandDownTo(node->parentID());
}

void AppModel::keepSelectionShown()
{
    const auto &selected = m_selection.selectedNodeID();
    if (!selected)
        return;
    const auto row = m_inspector.shownRow(*selected);
    if (row && row != selected)
        m_selection.select(row);
}

std::optional<QUuid> AppModel::selectedInsertionParentID() const
{
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        return std::nullopt;
    if (selected->kind() == WorkspaceNodeKind::group)
        return selected->id();
    return selected->parentID();
}

// --- launch --------------------------------------------------------------

QCoro::Task<> AppModel::launch()
{
    QPointer<AppModel> self(this);
    const UITestConfig &config = m_dependencies.uiTestConfig;
    bool started = false;
    [&] {
        if (config.isUITestMode && config.shouldReset) {
            if (failed(m_dependencies.workspaceStore->reset()))
                return;
        }
        if (failed(m_treeViewModel.load()))
            return;
        bool seeded = true;
        if (config.isUITestMode && config.seedWorkspace)
            applySeed(*config.seedWorkspace);
        else if (m_treeViewModel.nodes().isEmpty())
            seedSampleWorkspace();
        else
            seeded = false;
        if (m_alertMessage)
            return;
        // A seeded tree is where the history starts.
        if (seeded && failed(m_treeViewModel.clearHistory()))
            return;
        if (!m_treeViewModel.historyError().isEmpty())
            qWarning("The undo history cannot be read: %s", qPrintable(m_treeViewModel.historyError()));
        failed(m_treeViewModel.eraseTrashDeletedBefore(currentTimestamp() - std::chrono::days(m_trashRetentionDays)));
        reportUnreachableNodes();
        started = true;
    }();

    if (started) {
        if (m_dependencies.permissionCoordinator)
            co_await m_dependencies.permissionCoordinator->refresh();
        if (!self)
            co_return;
        if (config.isUITestMode && (config.simulateChromeConnected || config.simulateChromeCurrentWindow))
            simulateChrome();
        else if (m_dependencies.chromeBridge)
            setChromeConnectionSummary(m_dependencies.chromeBridge->isConnected()
                                           ? StatusLine::lookedUp(textKey("Chrome connected"))
                                           : StatusLine::lookedUp(textKey("Chrome extension not connected")));
        if (config.isUITestMode && config.importFixtureOnLaunch)
            importFixture();
        setShowOnboarding(decideOnboarding());
        setUpdatesConfigured(m_dependencies.updatesConfigured && m_dependencies.updatesConfigured());
        // A configured build starts by saying whether it checks on its own
        // (not the Chrome connection, which has its own line).
        if (m_updatesStatus.text.isEmpty())
            setUpdatesStatus(!m_updatesConfigured ? StatusLine::lookedUp(textKey("Updates are unavailable for this build."))
                             : m_autoCheckUpdatesEnabled
                                 ? StatusLine::lookedUp(textKey("Automatic update checks are enabled."))
                                 : StatusLine::lookedUp(textKey("Automatic update checks are disabled.")));
        setSidebarWidthDescription(sidebarWidthString());
        // Automation runs decide themselves when snapshots are taken.
        if (!config.isUITestMode)
            m_dailySnapshotTimer->start(kFirstDailyCheckMs);
        // Rewritten at every start: the manifests follow the program when it
        // moves, and a browser installed since gets its own.
        if (!config.isUITestMode)
            registerNativeHost(false);
    }
    writeStateDump();
    Q_EMIT launched();
}

// The sample content of a first start. It is added to the empty workspace
// as it is: nothing else in the store (snapshots of an emptied workspace
// among them) is cleared for it.
void AppModel::seedSampleWorkspace()
{
    auto group = m_treeViewModel.addGroup(QStringLiteral("Today"));
    if (failed(group))
        return;
    const QUuid groupID = group->id();
    if (failed(m_treeViewModel.addWebLink(QStringLiteral("https://www.example.com/"), QStringLiteral("Example"),
                                          groupID)))
        return;
    if (failed(m_treeViewModel.addSlackPermalink(
            QStringLiteral("https://app.slack.com/client/T123/C456/thread/C456-1712345678.900100"), groupID)))
        return;
    const QString root = QString::fromStdString(m_dependencies.uiTestConfig.applicationSupportRoot.string());
    if (failed(m_treeViewModel.addFile(QUrl::fromLocalFile(root), true, groupID)))
        return;
    select(groupID);
}

void AppModel::reportUnreachableNodes()
{
    // Counted on the projection, which has the tree's links at hand: a full
    // analysis of the list would cost a large workspace a tenth of a second
    // at every start.
    const auto &projection = m_treeViewModel.projection();
    const auto count = qsizetype(projection.size() - projection.reachableCount());
    if (count == 0)
        return;
    setLatestImportStatus(StatusLine::lookedUp(textKey("%d node(s) cannot be shown: their parent is missing or they form a loop. Recover them with Recover Unreachable Nodes."),
        {QString::number(count)}));
}

bool AppModel::decideOnboarding() const
{
    const UITestConfig &config = m_dependencies.uiTestConfig;
    if (config.isUITestMode && config.forceOnboarding)
        return true;
    if (config.isUITestMode)
        return false;
    return m_dependencies.settings->value(QLatin1String(kOnboardingCompletedSettingsKey)).toString() !=
        QLatin1String("true");
}

StatusLine AppModel::sidebarWidthString() const
{
    const auto screen = m_dependencies.mainScreen ? m_dependencies.mainScreen() : std::nullopt;
    if (!screen || !m_dependencies.windowReservationManager)
        return StatusLine::lookedUp(textKey("Sidebar width unavailable"));
    const double width = m_dependencies.windowReservationManager->persistedSidebarWidth(
        screen->identifier, screen->visibleFrame.width());
    return StatusLine::lookedUp(textKey("Sidebar width %.0f pt"), {fixedWidth(width)});
}

void AppModel::simulateChrome()
{
    const UITestConfig &config = m_dependencies.uiTestConfig;
    ChromeNativeHostBridgeProtocol *bridge = m_dependencies.chromeBridge;
    if (!bridge)
        return;
    bridge->simulate(ChromeEvent::connected());
    if (config.simulateChromeCurrentWindow) {
        ChromeWindowState window;
        window.id = 1;
        window.bounds = ChromeWindowBounds{300, 0, 1200, 900};
        for (int i = 0; i < 3; ++i) {
            const BrowserTarget target = sampleBrowserTarget(i);
            window.tabs.append(ChromeTabState{i + 1, 1, target.titleSnapshot, target.url, {}, i == 0});
        }
        bridge->simulate(ChromeEvent::windowsState({window}));
    }
    setChromeConnectionSummary(StatusLine::lookedUp(textKey("Chrome connected")));
}

void AppModel::importFixture()
{
    const QString path = QString::fromStdString(m_dependencies.uiTestConfig.importFixturePath.string());
    importTree(QUrl::fromLocalFile(path));
}

// --- small entry points ----------------------------------------------------

void AppModel::selectNode(const std::optional<QUuid> &nodeID)
{
    select(nodeID);
    if (!nodeID) {
        writeStateDump();
        return;
    }
    // Runs on its own: a later selection may start another open meanwhile.
    [](QPointer<AppModel> model) -> QCoro::Task<> {
        if (model)
            co_await model->openSelectedNode();
    }(this);
}

void AppModel::selectNodeWithoutOpening(const std::optional<QUuid> &nodeID)
{
    CommandScope scope(this);
    select(nodeID);
}

void AppModel::sidebarWidthDidChange(double width)
{
    CommandScope scope(this);
    setSidebarWidthDescription(StatusLine::lookedUp(textKey("Sidebar width %.0f pt"), {fixedWidth(width)}));
}

void AppModel::completeOnboarding()
{
    CommandScope scope(this);
    m_dependencies.settings->setValue(QLatin1String(kOnboardingCompletedSettingsKey), true);
    m_dependencies.settings->sync();
    setShowOnboarding(false);
    setLatestImportStatus(StatusLine::lookedUp(textKey("Complete Setup")));
}

void AppModel::reopenOnboarding()
{
    CommandScope scope(this);
    setShowOnboarding(true);
    setLatestImportStatus(StatusLine::lookedUp(textKey("Onboarding")));
}

QCoro::Task<> AppModel::restoreManagedWindows()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    if (!m_dependencies.axWindowController)
        co_return;
    const int restored = co_await m_dependencies.axWindowController->restoreManagedWindows();
    if (self && restored > 0)
        self->setLastOpenSummary(
            StatusLine::lookedUp(textKey("Restored %d managed window(s)"), {QString::number(restored)}));
}

void AppModel::updateCheckStarted(const QVariant &text)
{
    if (text.typeId() != QMetaType::QString)
        return;
    CommandScope scope(this);
    setUpdatesStatus(text.toString());
}

// --- adding and editing --------------------------------------------------

void AppModel::addGroup()
{
    CommandScope scope(this);
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto added = m_treeViewModel.addGroup(QStringLiteral("New Group"), selectedInsertionParentID());
    if (!failed(added))
        select(added->id());
}

void AppModel::addWebLink(const QString &text)
{
    CommandScope scope(this);
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto added = m_treeViewModel.addWebLink(text, std::nullopt, selectedInsertionParentID());
    if (!failed(added))
        select(added->id());
}

void AppModel::addSlackPermalink(const QString &text)
{
    CommandScope scope(this);
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto added = m_treeViewModel.addSlackPermalink(text, selectedInsertionParentID());
    if (!failed(added))
        select(added->id());
}

void AppModel::addFile(const QUrl &url, bool isFolder)
{
    CommandScope scope(this);
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto added = m_treeViewModel.addFile(url, isFolder, selectedInsertionParentID());
    if (!failed(added))
        select(added->id());
}

void AppModel::deleteSelectedNode()
{
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        return;
    if (!failed(m_treeViewModel.deleteNode(selected->id())))
        select(std::nullopt);
}

void AppModel::duplicateSelectedNode()
{
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        return;
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto copies = m_treeViewModel.duplicateSubtree(selected->id());
    if (failed(copies))
        return;
    select(copies->isEmpty() ? std::nullopt : std::optional<QUuid>(copies->front().id()));
}

void AppModel::renameSelectedNode(const QString &title)
{
    CommandScope scope(this);
    failed(m_inspector.renameSelectedNode(title));
}

void AppModel::toggleCollapse(const QUuid &nodeID)
{
    CommandScope scope(this);
    if (!failed(m_treeViewModel.toggleCollapse(nodeID)))
        keepSelectionShown();
}

void AppModel::setCollapsed(const QUuid &nodeID, bool collapsed)
{
    CommandScope scope(this);
    if (!failed(m_treeViewModel.setCollapsed(nodeID, collapsed)))
        keepSelectionShown();
}

void AppModel::moveNode(const QUuid &nodeID, const std::optional<QUuid> &newParentID, std::optional<qsizetype> index)
{
    CommandScope scope(this);
    auto command = m_treeViewModel.beginCommand(nullptr);
    if (failed(m_treeViewModel.move(nodeID, newParentID, index)))
        return;
    // The selected node stays in sight where it went.
    if (m_selection.selectedNodeID() == nodeID)
        reveal(nodeID);
}

// --- opening -------------------------------------------------------------

OpenContext AppModel::openContext() const
{
    OpenContext context;
    if (m_dependencies.mainScreen) {
        if (const auto screen = m_dependencies.mainScreen())
            context.screen = screen->identifier;
    }
    if (m_contentRect)
        context.contentRect = m_contentRect();
    context.accessibilityGranted = m_dependencies.permissionCoordinator &&
        m_dependencies.permissionCoordinator->accessibilityStatus() == PermissionStatus::granted;
    context.fromAutomation = m_dependencies.uiTestConfig.isUITestMode;
    return context;
}

QCoro::Task<bool> AppModel::openSelectedNode()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        co_return false;
    const OpenOutcome outcome = co_await m_dependencies.nodeProviderRegistry->open(*selected, openContext());
    if (!self)
        co_return false;
    if (!outcome) {
        setAlert(localized(outcome.error().description));
        co_return false;
    }
    setLastOpenSummary(localized(outcome->summary));
    // Only a real open counts as one: a refused or impossible open is not
    // stamped. A failed stamp is not worth an alert.
    if (outcome->succeeded)
        (void)m_treeViewModel.markNodeOpened(selected->id());
    co_return outcome->succeeded;
}

QCoro::Task<bool> AppModel::restoreSelectedSubtree()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    const NodeList nodes =
        m_restoreCoordinator.browserRestorableNodes(m_selection.selectedNodeID(), m_treeViewModel.nodes());
    if (nodes.isEmpty()) {
        setLastOpenSummary(StatusLine::lookedUp(textKey("No browser descendants to restore")));
        co_return false;
    }
    const OpenContext open = openContext();
    const RestoreContext context{open.screen, open.contentRect, open.accessibilityGranted};
    const RestoreOutcome outcome = co_await m_dependencies.nodeProviderRegistry->restore(nodes, context);
    if (!self)
        co_return false;
    if (!outcome) {
        setAlert(localized(outcome.error().description));
        co_return false;
    }
    QStringList lines;
    bool opened = false;
    for (const OpenResult &result : outcome->results) {
        lines << localized(result.summary);
        opened = opened || result.succeeded;
    }
    setLastOpenSummary(lines.join(QLatin1Char('\n')));
    co_return opened;
}

QCoro::Task<> AppModel::revealSelectedInFinder()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    if (!selected)
        co_return;
    const FileTarget *target = selected->payload().asFileTarget();
    if (!target)
        co_return;
    const auto address = EntryRules::fileAddress(target->path);
    if (!address) {
        setAlert(refusedOpen(address.error()).summary);
        co_return;
    }
    const QString path = address->url().toLocalFile();
    if (!QFileInfo::exists(path)) {
        setAlert(formatted(localized("“%@” no longer exists"), {path}));
        co_return;
    }
    const bool revealed = co_await m_dependencies.externalOpener->reveal(address->url());
    if (!self)
        co_return;
    if (!revealed) {
        setAlert(formatted(localized("Could not open %@"), {path}));
        co_return;
    }
    setLastOpenSummary(StatusLine::lookedUp(textKey("Revealed item in the file manager")));
}

void AppModel::openSelectedInSlackApp()
{
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    const SlackTarget *target = selected ? selected->payload().asSlackThread() : nullptr;
    if (!target)
        return;
    if (const auto appAddress = EntryRules::slackAppAddress(*target)) {
        if (!m_dependencies.externalOpener->open(*appAddress)) {
            setAlert(formatted(localized("Could not open %@"), {appAddress->text()}));
            return;
        }
        setLastOpenSummary(StatusLine::lookedUp(textKey("Opened Slack channel in Slack app")));
        return;
    }
    const auto permalink = EntryRules::openableAddress(selected->payload());
    if (!permalink) {
        setAlert(refusedOpen(permalink.error()).summary);
        return;
    }
    if (!m_dependencies.externalOpener->open(*permalink)) {
        setAlert(formatted(localized("Could not open %@"), {permalink->text()}));
        return;
    }
    setLastOpenSummary(StatusLine::lookedUp(textKey("Opened Slack permalink")));
}

// --- Chrome --------------------------------------------------------------

QCoro::Task<std::optional<ChromeCapturePayload>> AppModel::requestCapture(ChromeCommand command)
{
    QPointer<AppModel> self(this);
    const ChromeSendResult sent = co_await m_dependencies.chromeBridge->send(std::move(command));
    if (!self)
        co_return std::nullopt;
    if (!sent) {
        setAlert(localized(sent.error().description()));
        co_return std::nullopt;
    }
    // A reply that is not ok captured nothing, whatever it carries.
    if (!sent->ok) {
        setChromeConnectionSummary(
            StatusLine::lookedUp(sent->summary.value_or(QString::fromLatin1(textKey("Chrome did not respond")))));
        co_return std::nullopt;
    }
    co_return sent->capture;
}

void AppModel::expandDownTo(const std::optional<QUuid> &nodeID)
{
    // The set ends a parent cycle in damaged data.
    QSet<QUuid> seen;
    for (std::optional<QUuid> id = nodeID; id && !seen.contains(*id);) {
        seen.insert(*id);
        const auto node = m_treeViewModel.node(id);
        if (!node)
            return;
        if (node->isCollapsed() && failed(m_treeViewModel.setCollapsed(*id, false)))
            return;
        id = node->parentID();
    }
}

void AppModel::bindCapturedTab(const QUuid &nodeID, const std::optional<RuntimeTabBinding> &tab)
{
    if (tab && m_dependencies.chromeStateCache)
        m_dependencies.chromeStateCache->bind(nodeID, *tab);
}

QCoro::Task<bool> AppModel::captureCurrentChromeTab()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    const auto capture = co_await requestCapture(ChromeCommand::captureCurrentTab());
    if (!self)
        co_return false;
    const auto *tab = capture ? capture->asTab() : nullptr;
    if (!tab)
        co_return false;
    // Under the selected node itself, whatever its kind.
    const std::optional<QUuid> parent = shownSelectedNodeID();
    auto command = m_treeViewModel.beginCommand(textKey("Capture Current Tab"), tab->tab.titleSnapshot);
    auto added = m_treeViewModel.addChromeTarget(tab->tab, parent);
    if (failed(added))
        co_return false;
    bindCapturedTab(added->id(), tab->binding);
    expandDownTo(parent);
    m_lastCapturedNodeID = added->id();
    setChromeConnectionSummary(StatusLine::lookedUp(textKey("Captured current Chrome tab")));
    co_return true;
}

QCoro::Task<bool> AppModel::captureCurrentChromeWindow()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    const auto capture = co_await requestCapture(ChromeCommand::captureCurrentWindow());
    if (!self)
        co_return false;
    const auto *window = capture ? capture->asWindow() : nullptr;
    if (!window)
        co_return false;
    // Tabs the entry rules refuse (the browser's own pages, local files)
    // are left out and counted. Bindings that do not pair up with the tabs
    // name no tab for certain and are not used.
    const bool bound = window->bindings.size() == window->window.size();
    QList<std::pair<BrowserTarget, std::optional<RuntimeTabBinding>>> tabs;
    for (qsizetype i = 0; i < window->window.size(); ++i) {
        if (EntryRules::webAddress(window->window[i].url))
            tabs.append({window->window[i], bound ? std::optional(window->bindings[i]) : std::nullopt});
    }
    const qsizetype skipped = window->window.size() - tabs.size();
    const QString skippedText =
        formatted(localized("Skipped %d entries that are not web addresses"), {QString::number(skipped)});
    if (tabs.isEmpty()) {
        setAlert(skipped > 0 ? skippedText : localized("Chrome did not respond"));
        co_return false;
    }
    const std::optional<QUuid> parent = shownSelectedNodeID();
    auto command = m_treeViewModel.beginCommand(textKey("Capture Window"), QStringLiteral("Chrome Window"));
    auto group = m_treeViewModel.addGroup(QStringLiteral("Chrome Window"), parent);
    if (failed(group))
        co_return false;
    for (const auto &[target, binding] : std::as_const(tabs)) {
        auto added = m_treeViewModel.addChromeTarget(target, group->id());
        if (failed(added))
            co_return false;
        bindCapturedTab(added->id(), binding);
    }
    expandDownTo(parent);
    m_lastCapturedNodeID = group->id();
    const StatusLine captured = StatusLine::lookedUp(textKey("Captured current Chrome window"));
    if (skipped > 0)
        setChromeConnectionSummary(StatusLine::plain(captured.text + QStringLiteral("; ") + skippedText));
    else
        setChromeConnectionSummary(captured);
    co_return true;
}

void AppModel::handleCapturedSlackThread(const SlackTarget &target, const QUuid &envelopeID)
{
    CommandScope scope(this);
    if (!m_treeViewModel.isLoaded() && failed(m_treeViewModel.load()))
        return;
    std::optional<QUuid> nodeID;
    if (!envelopeID.isNull()) {
        // Stored before the message was removed from the queue: already taken in.
        nodeID = QUuid::createUuidV5(kQueuedMessageNodeNamespace, uuidQString(envelopeID));
        if (m_treeViewModel.node(nodeID))
            return;
        const auto inTrash = m_treeViewModel.trashHolds(*nodeID);
        if (failed(inTrash) || *inTrash)
            return;
    }
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto added = m_treeViewModel.addSlackPermalink(target.permalinkURL, selectedInsertionParentID(), nodeID);
    if (failed(added))
        return;
    select(added->id());
    setLatestImportStatus(StatusLine::lookedUp(textKey("Saved Slack thread from Chrome")));
}

void AppModel::registerNativeHost(bool announce)
{
    ChromeNativeHostBridge *bridge = m_dependencies.nativeHostBridge;
    if (!bridge)
        return;
    const auto hostPath = m_dependencies.uiTestConfig.applicationSupportRoot / kNativeHostProgramName;
    auto installed = bridge->installNativeHostManifest(QString::fromStdString(hostPath.string()),
                                                       QString::fromLatin1(kChromeExtensionID));
    m_browserRegistrations = bridge->browserRegistrations();
    Q_EMIT browserRegistrationsChanged();
    if (!installed) {
        // At start nobody asked: a browser folder we cannot write to is
        // worth a line in the log, not an alert at every start.
        if (announce)
            failed(installed);
        else
            qCWarning(lcBrowsers).noquote()
                << "native host registration:" << installed.error().description();
        return;
    }
    if (announce)
        setLatestImportStatus(installed->isEmpty()
                                  ? StatusLine::lookedUp(textKey("No browser was found to register the native host with."))
                                  : StatusLine::lookedUp(textKey("Installed native host manifest at %@"), {*installed}));
}

void AppModel::installNativeHostManifest()
{
    CommandScope scope(this);
    registerNativeHost(true);
}

QCoro::Task<> AppModel::revealBundledChromeExtension()
{
    QPointer<AppModel> self(this);
    CommandScope scope(this);
    const auto folder = bundledChromeExtensionDirectory(m_dependencies.resourceDirectory);
    if (!folder) {
        setAlert(localized("Bundled Chrome extension is missing."));
        co_return;
    }
    // The path is what Chrome's "Load unpacked" needs, whether or not a
    // file manager showed the folder.
    const QString path = QString::fromStdString(folder->string());
    const bool shown = co_await m_dependencies.externalOpener->reveal(QUrl::fromLocalFile(path));
    if (!self)
        co_return;
    setLatestImportStatus(StatusLine::lookedUp(shown ? textKey("Opened the Chrome extension folder %@")
                                                     : textKey("Could not open the Chrome extension folder %@"),
                                               {path}));
}

// --- snapshots, export, import -------------------------------------------

QList<SnapshotSummary> AppModel::manualSnapshotsToRemove()
{
    if (!m_treeViewModel.isLoaded())
        return {};
    m_snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_dependencies.settings));
    auto doomed = m_snapshots.manualSnapshotsToRemove();
    if (failed(doomed))
        return {};
    return *doomed;
}

std::optional<ManualLimit> AppModel::manualLimitFor(const QList<QUuid> &agreedRemovals)
{
    m_snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_dependencies.settings));
    if (agreedRemovals.isEmpty())
        return ManualLimit::refuse;
    auto doomed = m_snapshots.manualSnapshotsToRemove();
    if (failed(doomed))
        return std::nullopt;
    QList<QUuid> ids;
    for (const SnapshotSummary &summary : std::as_const(*doomed))
        ids.push_back(summary.id);
    // Another program saved or deleted one since the user was asked.
    if (ids != agreedRemovals) {
        setAlert(localized("The snapshots changed while you were asked; save the snapshot again."));
        return std::nullopt;
    }
    return ManualLimit::removeOldest;
}

bool AppModel::savedManually(const SnapshotResult<WorkspaceSnapshot> &saved)
{
    if (!saved && saved.error().kind == SnapshotError::Kind::manualLimit) {
        setAlert(formatted(
            localized("%lld manual snapshots are kept at most. Delete some in the Snapshots window or raise the limit in Settings, then save again."),
            {QString::number(saved.error().manualLimit)}));
        return false;
    }
    return !failed(saved);
}

void AppModel::saveSnapshotOfWorkspace(const QList<QUuid> &agreedRemovals)
{
    CommandScope scope(this);
    if (!m_treeViewModel.isLoaded())
        return;
    const auto limit = manualLimitFor(agreedRemovals);
    if (!limit || !savedManually(m_snapshots.saveWorkspace(formatted(localized("%@ Snapshot"), {localized("Workspace")}),
                                                           m_selection.selectedNodeID(), *limit)))
        return;
    setLatestImportStatus(StatusLine::lookedUp(textKey("Saved workspace snapshot")));
    Q_EMIT snapshotsChanged();
}

void AppModel::saveSnapshotOfSelectedSubtree(const QList<QUuid> &agreedRemovals)
{
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    if (!selected) {
        saveSnapshotOfWorkspace(agreedRemovals);
        return;
    }
    if (!m_treeViewModel.isLoaded())
        return;
    const auto limit = manualLimitFor(agreedRemovals);
    if (!limit ||
        !savedManually(m_snapshots.saveSubtree(selected->id(), formatted(localized("%@ Snapshot"), {selected->title()}),
                                               *limit)))
        return;
    setLatestImportStatus(StatusLine::lookedUp(textKey("Saved subtree snapshot")));
    Q_EMIT snapshotsChanged();
}

QList<WorkspaceSnapshot> AppModel::snapshots()
{
    auto listed = m_snapshots.list();
    if (failed(listed))
        return {};
    return *listed;
}

bool AppModel::restoreLatestSnapshot()
{
    CommandScope scope(this);
    if (!m_treeViewModel.isLoaded())
        return false;
    // Only the newest tree is read, however many snapshots there are.
    auto listed = m_dependencies.workspaceStore->fetchSnapshotTimes(m_treeViewModel.workspace()->id);
    if (failed(listed))
        return false;
    if (listed->isEmpty()) {
        setLatestImportStatus(StatusLine::lookedUp(textKey("No snapshots available")));
        return false;
    }
    const auto latest = snapshot(listed->front().id);
    return latest && restoreSnapshotEntry(*latest, true);
}

void AppModel::restoreSnapshot(const QUuid &snapshotID)
{
    CommandScope scope(this);
    if (!m_treeViewModel.isLoaded())
        return;
    if (const auto found = snapshot(snapshotID))
        restoreSnapshotEntry(*found, false);
}

bool AppModel::restoreSnapshotEntry(const WorkspaceSnapshot &snapshot, bool latest)
{
    const QString safetyTitle = localized("Before restore") + QLatin1Char(' ') +
        interfaceLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
    auto command = m_treeViewModel.beginCommand(textKey("Restore Snapshot"), snapshot.title);
    m_snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_dependencies.settings));
    auto restored = m_snapshots.restore(snapshot, selectedInsertionParentID(), safetyTitle);
    if (restored && restored->safetySnapshot)
        Q_EMIT snapshotsChanged();
    if (failed(restored))
        return false;
    select(restored->selectNodeID);
    if (restored->subtree)
        setLatestImportStatus(latest ? StatusLine::lookedUp(textKey("Restored latest subtree snapshot"))
                                     : StatusLine::lookedUp(textKey("Restored subtree snapshot")));
    else
        setLatestImportStatus(latest ? StatusLine::lookedUp(textKey("Restored latest workspace snapshot"))
                                     : StatusLine::lookedUp(textKey("Restored workspace snapshot")));
    return true;
}

void AppModel::exportSelectedSubtree()
{
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    TreeExport document;
    if (selected) {
        auto exported = m_dependencies.treeArchiveService->exportSubtree(selected->id(), m_treeViewModel.nodes());
        if (failed(exported))
            return;
        document = std::move(*exported);
    } else {
        document = m_dependencies.treeArchiveService->exportWorkspace(m_treeViewModel.nodes());
    }
    const auto folder = m_dependencies.uiTestConfig.applicationSupportRoot / kExportsFolderName;
    auto written = TreeExportFile::writeNew(document, folder, QDateTime::currentDateTime());
    if (failed(written))
        return;
    const QFileInfo file(QString::fromStdString(written->string()));
    m_latestExportPath = file.filePath();
    Q_EMIT latestExportPathChanged();
    setLatestImportStatus(
        StatusLine::lookedUp(textKey("Exported %@ to %@"), {file.fileName(), homeAbbreviated(file.path())}));
}

QCoro::Task<bool> AppModel::revealLatestExport()
{
    if (m_latestExportPath.isEmpty() || !m_dependencies.externalOpener)
        co_return false;
    QPointer<AppModel> self(this);
    const QString path = m_latestExportPath;
    // Selected in the file manager when one answers, else its folder opened.
    const bool shown = co_await m_dependencies.externalOpener->reveal(QUrl::fromLocalFile(path));
    if (!self)
        co_return false;
    if (!shown) {
        CommandScope scope(this);
        setAlert(formatted(localized("Could not show the folder %@"), {QFileInfo(path).path()}));
    }
    co_return shown;
}

bool AppModel::latestImportStatusNamesExport() const
{
    const QString &key = m_latestImportStatus.key;
    return !m_latestExportPath.isEmpty() &&
        (key == QLatin1String("Exported %@ to %@") || key == QLatin1String("Exported %@"));
}

QLocale AppModel::interfaceLocale() const
{
    const LanguageManager *manager = m_dependencies.languageManager;
    return manager ? manager->locale() : QLocale();
}

void AppModel::importTree(const QUrl &fileURL)
{
    CommandScope scope(this);
    auto document = TreeExportFile::read(std::filesystem::path(fileURL.toLocalFile().toStdString()));
    if (failed(document))
        return;
    importDocument(*document);
}

void AppModel::runImport(InteropImport imported, const std::optional<QUuid> &parentID, bool selectFirst)
{
    m_snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_dependencies.settings));
    const QString safetyTitle = localized("Before import") + QLatin1Char(' ') +
        interfaceLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
    WorkspaceImport import(m_treeViewModel, m_snapshots, *m_dependencies.treeArchiveService);
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto report = import.run(std::move(imported), parentID, safetyTitle);
    if (!report) {
        setAlert(localized(report.error().description()));
        return;
    }
    if (report->safetySnapshot)
        Q_EMIT snapshotsChanged();
    if (selectFirst && report->firstNodeID)
        select(report->firstNodeID);
    const StatusLine added = StatusLine::lookedUp(textKey("Imported %d node(s)"), {QString::number(report->added)});
    if (report->summary.skipped > 0)
        setLatestImportStatus(added.text + QStringLiteral("; ") + skippedEntriesText(report->summary));
    else
        setLatestImportStatus(added);
}

void AppModel::importDocument(const TreeExport &document, std::optional<std::optional<QUuid>> parentOverride)
{
    CommandScope scope(this);
    if (!m_treeViewModel.workspace() || !m_treeViewModel.isLoaded())
        return;
    InteropImport imported;
    imported.document = document;
    runImport(std::move(imported), parentOverride ? *parentOverride : selectedInsertionParentID(), false);
}

void AppModel::importInteropDocument(const InteropImport &imported)
{
    CommandScope scope(this);
    if (!m_treeViewModel.workspace() || !m_treeViewModel.isLoaded())
        return;
    runImport(imported, selectedInsertionParentID(), imported.format != InteropFormat::tarnibar);
}

void AppModel::exportSelectedSubtreeAs(InteropFormat format, const QString &file)
{
    CommandScope scope(this);
    const auto selected = m_inspector.selectedNode();
    TreeExport document;
    if (selected) {
        auto exported = m_dependencies.treeArchiveService->exportSubtree(selected->id(), m_treeViewModel.nodes());
        if (failed(exported))
            return;
        document = std::move(*exported);
    } else {
        document = m_dependencies.treeArchiveService->exportWorkspace(m_treeViewModel.nodes());
    }
    if (failed(exportInteropFile(document, format, std::filesystem::path(file.toStdString()))))
        return;
    m_latestExportPath = file;
    Q_EMIT latestExportPathChanged();
    setLatestImportStatus(StatusLine::lookedUp(textKey("Exported %@"), {QFileInfo(file).fileName()}));
}

void AppModel::recoverUnreachableNodes()
{
    CommandScope scope(this);
    if (!m_treeViewModel.isLoaded())
        return;
    const int count = findUnreachableNodes(m_treeViewModel.nodes()).count;
    if (count == 0) {
        setLatestImportStatus(StatusLine::lookedUp(textKey("Every node can be shown; nothing to recover")));
        return;
    }
    // The tree as it is shown now, so that the repair can be undone.
    // A safety copy: never refused for the manual limit, and removes none.
    if (failed(m_snapshots.saveWorkspace(formatted(localized("%@ Snapshot"), {localized("Before repair")}),
                                         m_selection.selectedNodeID(), ManualLimit::exceed)))
        return;
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto recovered = m_treeViewModel.recoverUnreachableNodes(localized("Recovered"));
    if (failed(recovered))
        return;
    if (*recovered)
        select((*recovered)->id());
    setLatestImportStatus(StatusLine::lookedUp(textKey("Recovered %d unreachable node(s)"), {QString::number(count)}));
}

// --- preferences ---------------------------------------------------------

void AppModel::setLanguage(AppLanguage language)
{
    CommandScope scope(this);
    m_appLanguage = language;
    if (m_dependencies.languageManager)
        m_dependencies.languageManager->setLanguage(language);
    else
        m_dependencies.settings->setValue(QLatin1String(kAppLanguageSettingsKey), rawValue(language));
    Q_EMIT appLanguageChanged();
}

void AppModel::setAutoCheckUpdatesEnabled(bool enabled)
{
    CommandScope scope(this);
    if (m_autoCheckUpdatesEnabled != enabled) {
        m_autoCheckUpdatesEnabled = enabled;
        Q_EMIT autoCheckUpdatesEnabledChanged();
    }
    m_dependencies.settings->setValue(QLatin1String(kAutoCheckUpdatesSettingsKey), enabled);
    m_dependencies.settings->sync();
    Q_EMIT autoCheckUpdatesChangeRequested(enabled);
    setUpdatesStatus(enabled ? StatusLine::lookedUp(textKey("Automatic update checks are enabled."))
                             : StatusLine::lookedUp(textKey("Automatic update checks are disabled.")));
}

void AppModel::requestCheckForUpdates()
{
    CommandScope scope(this);
    if (!m_updatesConfigured) {
        setUpdatesStatus(StatusLine::lookedUp(textKey("Updates are unavailable for this build.")));
        return;
    }
    setUpdatesStatus(StatusLine::lookedUp(textKey("Requesting a manual Tarni Bar update check…")));
    Q_EMIT checkForUpdatesRequested();
}

// --- automation ----------------------------------------------------------

void AppModel::writeStateDump()
{
    const UITestSupport *support = m_dependencies.uiTestSupport;
    if (!support)
        return;
    std::string error;
    if (!support->writeState(stateJson(), &error))
        qWarning("Cannot write the automation state: %s", error.c_str());
}

std::string AppModel::stateJson() const
{
    auto optionalText = [](const std::optional<QString> &text) { return text ? QJsonValue(*text) : QJsonValue(); };
    QJsonObject state;
    const auto selected = m_selection.selectedNodeID();
    state.insert(QStringLiteral("selectedNodeID"), selected ? QJsonValue(uuidQString(*selected)) : QJsonValue());
    state.insert(QStringLiteral("lastOpenSummary"), m_lastOpenSummary.text);
    state.insert(QStringLiteral("chromeConnectionSummary"), m_chromeConnectionSummary.text);
    state.insert(QStringLiteral("latestImportStatus"), m_latestImportStatus.text);
    state.insert(QStringLiteral("latestExportPath"),
                 m_latestExportPath.isEmpty() ? QJsonValue() : QJsonValue(m_latestExportPath));
    state.insert(QStringLiteral("sidebarWidthDescription"), m_sidebarWidthDescription.text);
    state.insert(QStringLiteral("alertMessage"), optionalText(m_alertMessage));
    state.insert(QStringLiteral("showOnboarding"), m_showOnboarding);
    state.insert(QStringLiteral("appLanguage"), rawValue(m_appLanguage));
    state.insert(QStringLiteral("autoCheckUpdatesEnabled"), m_autoCheckUpdatesEnabled);
    state.insert(QStringLiteral("updatesConfigured"), m_updatesConfigured);
    state.insert(QStringLiteral("updatesStatus"), m_updatesStatus.text);
    state.insert(QStringLiteral("permissionStatus"),
                 permissionName(m_dependencies.permissionCoordinator
                                    ? m_dependencies.permissionCoordinator->accessibilityStatus()
                                    : PermissionStatus::unknown));
    QJsonArray opened, revealed, moved;
    if (const UITestSupport *support = m_dependencies.uiTestSupport) {
        for (const QUrl &url : support->openedURLs())
            opened.append(url.toString());
        for (const QUrl &url : support->revealedURLs())
            revealed.append(url.toString());
        for (const auto &move : support->movedWindows()) {
            moved.append(QJsonObject{
                {QStringLiteral("identifier"), move.identifier},
                {QStringLiteral("frame"), QJsonObject{{QStringLiteral("x"), move.frame.x()},
                                                      {QStringLiteral("y"), move.frame.y()},
                                                      {QStringLiteral("width"), move.frame.width()},
                                                      {QStringLiteral("height"), move.frame.height()}}}});
        }
    }
    state.insert(QStringLiteral("openedURLs"), opened);
    state.insert(QStringLiteral("revealedURLs"), revealed);
    state.insert(QStringLiteral("movedWindows"), moved);

    // The node list is written with the store's encoder: at this size
    // building it as Qt JSON values first would cost more than the dump.
    std::string out = "{\"nodes\":[";
    bool first = true;
    for (const WorkspaceNode &node : m_treeViewModel.nodes()) {
        if (!first)
            out += ',';
        first = false;
        if (!json::appendCompact(out, node))
            out += "null";
    }
    out += "],";
    const QByteArray rest = QJsonDocument(state).toJson(QJsonDocument::Compact);
    out.append(rest.constData() + 1, std::size_t(rest.size() - 1));
    return out;
}

// --- undo, redo and the trash --------------------------------------------

QString AppModel::stepLabel(const HistoryEntry &entry)
{
    return TreeViewModel::stepLabel(entry);
}

QString AppModel::undoMenuTitle() const
{
    const auto entry = m_treeViewModel.nextUndo();
    return entry ? formatted(localized("Undo %@"), {stepLabel(*entry)}) : localized("Undo");
}

QString AppModel::redoMenuTitle() const
{
    const auto entry = m_treeViewModel.nextRedo();
    return entry ? formatted(localized("Redo %@"), {stepLabel(*entry)}) : localized("Redo");
}

std::optional<QString> AppModel::undo()
{
    return takeHistoryStep(true);
}

std::optional<QString> AppModel::redo()
{
    return takeHistoryStep(false);
}

std::optional<QString> AppModel::takeHistoryStep(bool undoing)
{
    CommandScope scope(this);
    auto step = undoing ? m_treeViewModel.undo() : m_treeViewModel.redo();
    if (failed(step))
        return std::nullopt;
    const QString label = stepLabel(*step);
    setLatestImportStatus(undoing ? StatusLine::lookedUp(textKey("Undid %@"), {label})
                                  : StatusLine::lookedUp(textKey("Redid %@"), {label}));
    if (!m_treeViewModel.node(m_selection.selectedNodeID()))
        select(std::nullopt);
    else
        keepSelectionShown();
    return label;
}

QList<TrashSummary> AppModel::trashEntries()
{
    if (!m_treeViewModel.isLoaded())
        return {};
    auto entries = m_treeViewModel.trash();
    if (failed(entries))
        return {};
    return *entries;
}

void AppModel::restoreFromTrash(const QUuid &entryID)
{
    CommandScope scope(this);
    auto command = m_treeViewModel.beginCommand(nullptr);
    auto restored = m_treeViewModel.restoreFromTrash(entryID);
    if (failed(restored))
        return;
    select(restored->id());
    setLatestImportStatus(StatusLine::lookedUp(textKey("Restored “%@” from the trash"), {restored->title()}));
}

void AppModel::eraseFromTrash(const QUuid &entryID)
{
    CommandScope scope(this);
    if (!failed(m_treeViewModel.eraseFromTrash({entryID})))
        setLatestImportStatus(StatusLine::lookedUp(textKey("Erased from the trash")));
}

void AppModel::emptyTrash()
{
    CommandScope scope(this);
    auto emptied = [this](std::int64_t erased) {
        setLatestImportStatus(StatusLine::lookedUp(textKey("Emptied the trash (%lld item(s))"),
                                                   {QString::number(erased)}));
    };
    if (!m_storeWorker) {
        if (auto erased = m_treeViewModel.emptyTrash(); !failed(erased))
            emptied(*erased);
        return;
    }
    auto entries = m_treeViewModel.trash();
    if (failed(entries))
        return;
    QList<QUuid> entryIDs;
    for (const TrashSummary &entry : std::as_const(*entries))
        entryIDs.append(entry.id);
    if (entryIDs.isEmpty())
        return emptied(0);
    m_storeWorker->eraseTrash(m_treeViewModel.workspace()->id, entryIDs,
                              [this, emptied](const StoreResult<std::int64_t> &erased) {
                                  m_treeViewModel.whenIdle(this, [this, emptied, erased] {
                                      CommandScope scope(this);
                                      m_treeViewModel.trashErasedElsewhere();
                                      if (!failed(erased))
                                          emptied(*erased);
                                  });
                              });
}

void AppModel::setOpenWithSingleClick(bool on)
{
    m_dependencies.settings->setValue(QLatin1String(kOpenWithSingleClickSettingsKey), on);
    m_dependencies.settings->sync();
    if (std::exchange(m_openWithSingleClick, on) != on)
        Q_EMIT openWithSingleClickChanged();
}

void AppModel::setShowInspector(bool shown)
{
    m_dependencies.settings->setValue(QLatin1String(kShowInspectorSettingsKey), shown);
    m_dependencies.settings->sync();
    if (std::exchange(m_showInspector, shown) != shown)
        Q_EMIT showInspectorChanged();
}

void AppModel::setTrashRetentionDays(int days)
{
    days = std::clamp(days, 1, kMaxTrashRetentionDays);
    m_dependencies.settings->setValue(QLatin1String(kTrashRetentionDaysSettingsKey), days);
    m_dependencies.settings->sync();
    if (m_trashRetentionDays != days) {
        m_trashRetentionDays = days;
        Q_EMIT trashRetentionDaysChanged();
    }
}

void AppModel::setShowsManagedTargetWindow(bool shows)
{
    m_dependencies.settings->setValue(QLatin1String(kShowsManagedTargetWindowSettingsKey), shows);
    m_dependencies.settings->sync();
    if (m_showsManagedTargetWindow != shows) {
        m_showsManagedTargetWindow = shows;
        Q_EMIT showsManagedTargetWindowChanged();
    }
}

// --- the snapshot browser and automatic snapshots ------------------------

QList<SnapshotSummary> AppModel::snapshotSummaries()
{
    const auto &workspace = m_treeViewModel.workspace();
    if (!workspace)
        return {};
    auto listed = m_dependencies.workspaceStore->fetchSnapshotSummaries(workspace->id);
    if (failed(listed))
        return {};
    return *listed;
}

std::optional<WorkspaceSnapshot> AppModel::snapshot(const QUuid &snapshotID)
{
    const auto &workspace = m_treeViewModel.workspace();
    if (!workspace)
        return std::nullopt;
    auto found = m_dependencies.workspaceStore->fetchSnapshot(workspace->id, snapshotID);
    if (failed(found))
        return std::nullopt;
    if (!*found)
        setAlert(localized("The snapshot no longer exists."));
    return *found;
}

void AppModel::addSnapshotBeside(const QUuid &snapshotID)
{
    CommandScope scope(this);
    if (!m_treeViewModel.isLoaded())
        return;
    const auto found = snapshot(snapshotID);
    if (!found)
        return;
    if (found->schemaVersion > TreeExport::kSchemaVersion) {
        setAlert(localized(SnapshotError::of(SnapshotError::Kind::newerSchema, found->schemaVersion)
                               .description()));
        return;
    }
    TreeExport document;
    document.schemaVersion = found->schemaVersion;
    document.exportedAt = found->createdAt;
    document.rootNode = found->rootNode;
    importDocument(document, std::optional<std::optional<QUuid>>(std::optional<QUuid>()));
}

void AppModel::renameSnapshot(const QUuid &snapshotID, const QString &title)
{
    CommandScope scope(this);
    const QString trimmed = title.trimmed();
    if (trimmed.isEmpty())
        return;
    if (failed(m_dependencies.workspaceStore->renameSnapshot(snapshotID, trimmed)))
        return;
    setLatestImportStatus(StatusLine::lookedUp(textKey("Renamed snapshot")));
    Q_EMIT snapshotsChanged();
}

void AppModel::deleteSnapshot(const QUuid &snapshotID)
{
    CommandScope scope(this);
    if (failed(m_dependencies.workspaceStore->deleteSnapshots({snapshotID})))
        return;
    setLatestImportStatus(StatusLine::lookedUp(textKey("Deleted snapshot")));
    Q_EMIT snapshotsChanged();
}

bool AppModel::exportSnapshot(const QUuid &snapshotID, const QString &path)
{
    CommandScope scope(this);
    const auto found = snapshot(snapshotID);
    if (!found)
        return false;
    // Written out again by this version, it would lose what only the newer one knows.
    if (found->schemaVersion > TreeExport::kSchemaVersion) {
        setAlert(localized(SnapshotError::of(SnapshotError::Kind::newerSchema, found->schemaVersion)
                               .description()));
        return false;
    }
    TreeExport document;
    document.schemaVersion = found->schemaVersion;
    document.exportedAt = m_dependencies.treeArchiveService->now();
    document.rootNode = found->rootNode;
    const std::filesystem::path file(path.toStdString());
    if (failed(TreeExportFile::write(document, file)))
        return false;
    setLatestImportStatus(StatusLine::lookedUp(textKey("Exported %@"), {QString::fromStdString(file.filename().string())}));
    return true;
}

void AppModel::takeDailySnapshotIfDue()
{
    if (!m_treeViewModel.isLoaded() || m_dailySnapshotRunning)
        return;
    m_snapshots.setRetentionPolicy(RetentionPolicy::fromSettings(*m_dependencies.settings));
    const Timestamp now = m_dependencies.treeArchiveService->now();
    if (!m_storeWorker) {
        auto due = m_snapshots.dailySnapshotDue(now);
        auto taken = !due    ? SnapshotResult<WorkspaceSnapshot>(Failure(due.error()))
                     : *due ? m_snapshots.saveAutomatic(SnapshotOrigin::daily, localized("Daily snapshot"))
                            : SnapshotResult<WorkspaceSnapshot>(WorkspaceSnapshot{});
        if (!taken)
            dailySnapshotFailed(taken.error());
        else if (*due) {
            m_dailySnapshotFailed = false;
            Q_EMIT snapshotsChanged();
        }
        Q_EMIT dailySnapshotChecked();
        return;
    }
    auto request = m_snapshots.automaticRequest(SnapshotOrigin::daily, localized("Daily snapshot"), true, now);
    if (!request) {
        dailySnapshotFailed(request.error());
        Q_EMIT dailySnapshotChecked();
        return;
    }
    m_dailySnapshotRunning = true;
    const std::uint64_t writes = request->writesAtRequest;
    // The outcome waits for a big write of the tree: the snapshot list is
    // read through the store the write holds.
    m_storeWorker->writeAutomaticSnapshot(std::move(*request), [this, writes](const SnapshotResult<bool> &taken) {
        m_treeViewModel.whenIdle(this, [this, writes, taken] {
            m_dailySnapshotRunning = false;
            if (!taken) {
                dailySnapshotFailed(taken.error());
            } else if (*taken) {
                m_snapshots.automaticWritten(writes);
                m_dailySnapshotFailed = false;
                Q_EMIT snapshotsChanged();
            }
            Q_EMIT dailySnapshotChecked();
        });
    });
}

void AppModel::dailySnapshotFailed(const SnapshotError &error)
{
    // Shown once, not every hour while it keeps failing.
    qCWarning(lcAutoSnapshots).noquote() << "daily snapshot failed:" << error.description();
    if (!m_dailySnapshotFailed)
        setAlert(localized(error.description()));
    m_dailySnapshotFailed = true;
}

} // namespace tarni

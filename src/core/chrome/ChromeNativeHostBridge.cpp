#include "chrome/ChromeNativeHostBridge.h"
#include "util/Localized.h"

#include "chrome/ChromeExtensionIdentity.h"
#include "chrome/SignalOrTimeout.h"

#include "common/AtomicFile.h"
#include "common/DataRoot.h"
#include "common/NativeHostPresence.h"
#include "common/NativeHostQueue.h"
#include "model/Uuid.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>

namespace tarni {

Q_LOGGING_CATEGORY(lcChrome, "tarnibar.chrome")

namespace fs = std::filesystem;

QString ChromeBridgeError::description() const
{
    QString what;
    switch (code) {
    case Code::cannotCreateDirectory:
        what = QStringLiteral("The Chrome queue folder could not be created.");
        break;
    case Code::cannotWriteRequest:
        what = QStringLiteral("The command for Chrome could not be written.");
        break;
    case Code::cancelled:
        what = QStringLiteral("The command for Chrome was cancelled.");
        break;
    case Code::handlerFailed:
        what = QStringLiteral("The command for Chrome failed.");
        break;
    case Code::cannotInstallHost:
        what = QStringLiteral("The Chrome native host could not be installed.");
        break;
    case Code::cannotWriteManifest:
        what = QStringLiteral("The Chrome native host manifest could not be written.");
        break;
    }
    return detail.isEmpty() ? what : what + QLatin1Char(' ') + detail;
}

static ChromeBridgeError bridgeError(ChromeBridgeError::Code code, const std::string &detail)
{
    return ChromeBridgeError{code, QString::fromStdString(detail)};
}

BrowserTarget sampleBrowserTarget(int index)
{
    BrowserTarget target;
    target.url = QString::fromLatin1(kSampleWebAddress) + QLatin1Char('/') + QString::number(index);
    target.titleSnapshot = QStringLiteral("Sample Tab ") + QString::number(index);
    target.preferredOpenMode = BrowserOpenMode::existingTab;
    target.runtimeTabBinding = RuntimeTabBinding{1, index};
    return target;
}

ChromeNativeHostBridge::ChromeNativeHostBridge(ChromeStateCache *stateCache, fs::path applicationSupportRoot,
                                               ChromeBridgeOptions options, QObject *parent)
    : QObject(parent)
    , m_stateCache(stateCache)
    , m_root(std::move(applicationSupportRoot))
    , m_options(std::move(options))
{
    connect(&m_queueWatcher, &QFileSystemWatcher::directoryChanged, this, &ChromeNativeHostBridge::scheduleQueuePass);
    connect(&m_responseWatcher, &QFileSystemWatcher::directoryChanged, this,
            &ChromeNativeHostBridge::responseFolderChanged);
    connect(&m_hostsWatcher, &QFileSystemWatcher::directoryChanged, this, &ChromeNativeHostBridge::refreshPresence);
    // Right from the start: the application's first status line says it.
    const fs::path hosts = nativeHostsDirectory(m_root);
    std::error_code ec;
    if (fs::is_directory(m_root, ec) && ensurePrivateDirectory(hosts))
        watch(&m_hostsWatcher, hosts);
    m_liveHosts = liveNativeHosts(hosts);
    m_isConnected = !m_liveHosts.empty();
    m_presenceMonitor = new QTimer(this);
    m_presenceMonitor->setInterval(m_options.presencePollInterval);
    connect(m_presenceMonitor, &QTimer::timeout, this, [this, hosts] {
        if (std::error_code ec; fs::is_directory(hosts, ec))
            watch(&m_hostsWatcher, hosts);
        refreshPresence();
        // A reply that came while its send was giving up has no reader.
        removeUnawaitedFiles(NativeHostQueueDirectories::under(m_root).responses);
    });
    m_presenceMonitor->start();
}

ChromeNativeHostBridge::~ChromeNativeHostBridge()
{
    // A send waiting for a reply is resumed now and ends as cancelled: left
    // suspended, its coroutine would wait for an event loop that may never
    // run again, and never be freed.
    m_closing = true;
    Q_EMIT responseFolderChanged();
}

void ChromeNativeHostBridge::refreshPresence()
{
    std::vector<std::string> live = liveNativeHosts(nativeHostsDirectory(m_root));
    const bool appeared =
        std::any_of(live.begin(), live.end(), [&](const std::string &name) {
            return !std::binary_search(m_liveHosts.begin(), m_liveHosts.end(), name);
        });
    m_liveHosts = std::move(live);
    if (m_liveHosts.empty()) {
        // Withdrawn now, not when each send next wakes: a browser started
        // meanwhile would carry them out.
        const auto dirs = NativeHostQueueDirectories::under(m_root);
        for (const std::string &name : m_awaitedResponses) {
            std::error_code ec;
            fs::remove(dirs.requests / name, ec);
            fs::remove(dirs.pending / name, ec);
        }
    }
    updateConnection();
    if (appeared && m_started)
        requestFreshState();
}

void ChromeNativeHostBridge::updateConnection()
{
    const bool connected = m_simulatedConnection || !m_liveHosts.empty();
    if (connected == m_isConnected)
        return;
    m_isConnected = connected;
    Q_EMIT isConnectedChanged();
}

QCoro::Task<> ChromeNativeHostBridge::requestFreshState()
{
    // One at a time: hosts appearing together need one answer.
    if (m_freshStateRequested)
        co_return;
    QPointer<ChromeNativeHostBridge> self(this);
    m_freshStateRequested = true;
    // send() feeds the reply to the cache.
    co_await send(ChromeCommand::getAllWindowsState());
    if (self)
        m_freshStateRequested = false;
}

void ChromeNativeHostBridge::absorb(const ChromeCommandResponse &response)
{
    if (!m_stateCache)
        return;
    if (response.windows)
        m_stateCache->setWindows(*response.windows);
    if (response.capture)
        m_stateCache->setLastCapture(*response.capture);
}

QCoro::Task<ChromeSendResult> ChromeNativeHostBridge::send(ChromeCommand command)
{
    if (m_closing)
        co_return Failure(ChromeBridgeError{ChromeBridgeError::Code::cancelled, {}});
    if (m_commandHandler) {
        const CommandHandler handler = m_commandHandler;
        co_return co_await handler(std::move(command));
    }
    refreshPresence();
    // With no host a request would wait for nothing, and a browser started
    // later would carry it out unasked.
    if (m_liveHosts.empty()) {
        if (m_options.simulateConnectedChrome) {
            ChromeCommandResponse response = defaultResponse(command);
            absorb(response);
            co_return response;
        }
        ChromeCommandResponse response;
        response.ok = false;
        response.summary = QString::fromLatin1(textKey("Chrome extension not connected"));
        co_return response;
    }
    QPointer<ChromeNativeHostBridge> self(this);
    RoundTrip reply = co_await sendThroughNativeHost(std::move(command));
    if (!self || m_closing)
        co_return Failure(ChromeBridgeError{ChromeBridgeError::Code::cancelled, {}});
    if (!reply)
        co_return Failure(reply.error());
    if (const auto &response = reply.value()) {
        absorb(*response);
        co_return *response;
    }
    // No reply: say so. Made-up data here would end up in the user's tree.
    ChromeCommandResponse response;
    response.ok = false;
    response.summary = QString::fromLatin1(textKey("Chrome did not respond"));
    co_return response;
}

void ChromeNativeHostBridge::watch(QFileSystemWatcher *watcher, const fs::path &dir)
{
    const QString path = QString::fromStdString(dir.string());
    // A directory removed and made again loses its watch; add it back.
    if (!watcher->directories().contains(path))
        watcher->addPath(path);
}

QCoro::Task<ChromeNativeHostBridge::RoundTrip> ChromeNativeHostBridge::sendThroughNativeHost(ChromeCommand command)
{
    QPointer<ChromeNativeHostBridge> self(this);
    const auto dirs = NativeHostQueueDirectories::under(m_root);
    std::string error;
    if (!ensurePrivateDirectory(m_root, &error) || !ensurePrivateDirectory(dirs.requests, &error) ||
        !ensurePrivateDirectory(dirs.responses, &error))
        co_return Failure(bridgeError(ChromeBridgeError::Code::cannotCreateDirectory, error));

    qsizetype addresses = 0;
    if (const auto *open = command.as<ChromeCommand::OpenURLsInNewWindow>())
        addresses = open->urls.size();
    else if (const auto *add = command.as<ChromeCommand::OpenURLsInWindow>())
        addresses = add->urls.size();
    const auto timeout = m_options.replyTimeout + m_options.replyTimePerOpenedAddress * addresses;

    const QUuid id = newUuid();
    const std::string name = queueFileName(uuidText(id));
    const QByteArray bytes = ChromeMessageCodec::encode(ChromeHostEnvelope{id, std::move(command)});
    // Watch before writing, so not even the fastest reply goes unnoticed.
    watch(&m_responseWatcher, dirs.responses);
    m_awaitedResponses.insert(name);
    if (!writeFileAtomically(dirs.requests / name, std::string_view(bytes.constData(), std::size_t(bytes.size())), &error)) {
        m_awaitedResponses.erase(name);
        co_return Failure(bridgeError(ChromeBridgeError::Code::cannotWriteRequest, error));
    }

    const fs::path responseFile = dirs.responses / name;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto pollInterval = m_options.replyPollInterval;
    for (;;) {
        if (auto response = takeResponse(responseFile)) {
            m_awaitedResponses.erase(name);
            co_return std::optional<ChromeCommandResponse>(std::move(*response));
        }
        const auto now = std::chrono::steady_clock::now();
        // The last host going away is no reason to wait any longer.
        if (now >= deadline || m_liveHosts.empty())
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        co_await SignalOrTimeout(this, &ChromeNativeHostBridge::responseFolderChanged,
                                 std::min(pollInterval, left));
        if (!self || m_closing)
            co_return Failure(ChromeBridgeError{ChromeBridgeError::Code::cancelled, {}});
    }
    withdrawRequest(name);
    co_return std::optional<ChromeCommandResponse>();
}

void ChromeNativeHostBridge::withdrawRequest(const std::string &name)
{
    // Unclaimed, the request is never delivered; claimed, its reply finds no
    // marker, goes to the queue, and is absorbed there like any late reply.
    const auto dirs = NativeHostQueueDirectories::under(m_root);
    std::error_code ec;
    fs::remove(dirs.requests / name, ec);
    fs::remove(dirs.pending / name, ec);
    fs::remove(dirs.responses / name, ec);
    m_awaitedResponses.erase(name);
}

void ChromeNativeHostBridge::removeUnawaitedFiles(const fs::path &dir)
{
    const auto names = listQueueDirectory(dir);
    if (!names)
        return;
    for (const std::string &name : *names) {
        std::error_code ec;
        // Folders, links and the like are not ours to remove.
        if (!m_awaitedResponses.contains(name) && fs::symlink_status(dir / name, ec).type() == fs::file_type::regular)
            fs::remove(dir / name, ec);
    }
}

std::optional<ChromeCommandResponse> ChromeNativeHostBridge::takeResponse(const fs::path &file)
{
    std::string text;
    if (readQueueFile(file, text, kMaxInboundMessageLength) != QueueFileRead::ok)
        return std::nullopt;
    auto envelope = m_codec.decodeEnvelope(text);
    if (!envelope)
        return std::nullopt;
    auto *response = std::get_if<ChromeCommandResponse>(&envelope->message);
    if (!response)
        return std::nullopt;
    std::error_code ec;
    fs::remove(file, ec);
    return std::move(*response);
}

ChromeCommandResponse ChromeNativeHostBridge::defaultResponse(const ChromeCommand &command)
{
    ChromeWindowState sampleWindow;
    sampleWindow.id = 1;
    sampleWindow.bounds = ChromeWindowBounds{300, 0, 1200, 900};
    sampleWindow.tabs = {ChromeTabState{1, 1, QStringLiteral("Example"), QString::fromLatin1(kSampleWebAddress), {}, true}};
    auto cachedOrSample = [&] {
        if (m_stateCache && !m_stateCache->windows().isEmpty())
            return m_stateCache->windows();
        return QList<ChromeWindowState>{sampleWindow};
    };

    ChromeCommandResponse response;
    response.ok = true;
    if (const auto *c = command.as<ChromeCommand::FocusTab>()) {
        Q_UNUSED(c);
        response.summary = QStringLiteral("Focused Chrome tab");
    } else if (const auto *c = command.as<ChromeCommand::OpenURLsInNewWindow>()) {
        response.summary = QStringLiteral("Opened %1 URL(s) in a new Chrome window").arg(c->urls.size());
        ChromeWindowState window;
        window.id = QRandomGenerator::global()->bounded(1000, 10000);
        window.bounds = c->bounds;
        for (qsizetype k = 0; k < c->urls.size(); ++k)
            window.tabs.append(ChromeTabState{k + 1, 1, c->urls[k], c->urls[k], {}, k == 0});
        response.windows = QList<ChromeWindowState>{window};
    } else if (const auto *c = command.as<ChromeCommand::OpenURLInWindow>()) {
        response.summary = QStringLiteral("Opened ") + c->url;
    } else if (const auto *c = command.as<ChromeCommand::SetWindowBounds>()) {
        response.summary = QStringLiteral("Moved Chrome window to %1x%2").arg(c->bounds.width).arg(c->bounds.height);
    } else if (command.as<ChromeCommand::Ping>()) {
        response.summary = QStringLiteral("Chrome bridge reachable");
        m_simulatedConnection = true;
        updateConnection();
    } else if (command.as<ChromeCommand::GetCurrentWindowState>()) {
        response.summary = QStringLiteral("Current window state");
        response.windows = cachedOrSample();
    } else if (command.as<ChromeCommand::GetAllWindowsState>()) {
        response.summary = QStringLiteral("All windows state");
        response.windows = cachedOrSample();
    } else if (command.as<ChromeCommand::CaptureCurrentTab>()) {
        response.summary = QStringLiteral("Captured current tab");
        response.capture = ChromeCapturePayload::tab(sampleBrowserTarget(1));
    } else if (command.as<ChromeCommand::CaptureCurrentWindow>()) {
        response.summary = QStringLiteral("Captured current window");
        response.capture = ChromeCapturePayload::window({sampleBrowserTarget(1), sampleBrowserTarget(2)});
    }
    return response;
}

void ChromeNativeHostBridge::simulate(const ChromeEvent &event)
{
    if (event.as<ChromeEvent::Connected>()) {
        m_simulatedConnection = true;
        updateConnection();
    }
    apply(event, {});
}

void ChromeNativeHostBridge::apply(const ChromeEvent &event, const QUuid &envelopeID)
{
    if (const auto *e = event.as<ChromeEvent::SaveSlackThread>()) {
        m_latestSlackCapture = SlackCapture{e->slackThread, envelopeID};
        Q_EMIT latestSlackCaptureChanged();
    }
    if (m_stateCache)
        m_stateCache->apply(event);
}

void ChromeNativeHostBridge::consumeLatestSlackCapture()
{
    if (!m_latestSlackCapture)
        return;
    m_latestSlackCapture.reset();
    Q_EMIT latestSlackCaptureChanged();
}

void ChromeNativeHostBridge::startQueueMonitoring()
{
    const fs::path queue = NativeHostQueueDirectories::under(m_root).queue;
    if (ensurePrivateDirectory(m_root) && ensurePrivateDirectory(queue))
        watch(&m_queueWatcher, queue);
    if (!m_started) {
        m_started = true;
        // An earlier run's requests: a browser would still carry them out.
        const auto dirs = NativeHostQueueDirectories::under(m_root);
        for (const fs::path &dir : {dirs.requests, dirs.pending, dirs.responses})
            removeUnawaitedFiles(dir);
        refreshPresence();
        if (!m_liveHosts.empty())
            requestFreshState();
    }
    processQueuedMessages();
    if (m_queueMonitor)
        return;
    m_queueMonitor = new QTimer(this);
    m_queueMonitor->setInterval(m_options.queuePollInterval);
    connect(m_queueMonitor, &QTimer::timeout, this, [this, queue] {
        if (fs::is_directory(queue))
            watch(&m_queueWatcher, queue);
        processQueuedMessages();
    });
    m_queueMonitor->start();
}

void ChromeNativeHostBridge::scheduleQueuePass()
{
    // Several notifications in a row make one pass.
    if (m_queuePassScheduled)
        return;
    m_queuePassScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_queuePassScheduled = false;
        processQueuedMessages();
    });
}

void ChromeNativeHostBridge::holdQueue(bool held)
{
    m_queueHeld = held;
    if (!held && m_queueMonitor)
        scheduleQueuePass();
}

void ChromeNativeHostBridge::processQueuedMessages()
{
    if (m_queueHeld)
        return;
    // A handler of the signals below may spin an event loop; the pass it
    // would start is left to the next turn.
    if (m_processingQueue) {
        scheduleQueuePass();
        return;
    }
    const fs::path queue = NativeHostQueueDirectories::under(m_root).queue;
    if (m_queueNext >= m_queueBacklog.size()) {
        auto names = listQueueDirectory(queue);
        if (!names)
            return;
        m_queueBacklog = std::move(*names);
        m_queueNext = 0;
    }
    QPointer<ChromeNativeHostBridge> self(this);
    m_processingQueue = true;
    QElapsedTimer slice;
    slice.start();
    std::string text;
    // A slice at a time, so a long queue never holds the GUI thread; each
    // name is taken from the backlog before its message is applied.
    while (m_queueNext < m_queueBacklog.size() && slice.elapsed() < m_options.queueSlice.count()) {
        const std::string name = m_queueBacklog[m_queueNext++];
        const fs::path file = queue / name;
        // Never blocks on a FIFO or follows a link; whatever is not a
        // readable message is removed below like a read one.
        if (readQueueFile(file, text, kMaxInboundMessageLength) == QueueFileRead::ok) {
            if (auto envelope = m_codec.decodeEnvelope(text))
                processQueuedEnvelope(*envelope);
            else
                qCDebug(lcChrome) << "dropping queued message" << QString::fromStdString(name) << envelope.error().description();
        }
        if (!self)
            return; // a handler of the signals above destroyed us
        std::error_code ec;
        fs::remove(file, ec);
    }
    m_processingQueue = false;
    if (m_queueNext < m_queueBacklog.size()) {
        scheduleQueuePass();
    } else {
        m_queueBacklog.clear();
        m_queueNext = 0;
    }
}

void ChromeNativeHostBridge::processQueuedEnvelope(const ChromeHostEnvelope &envelope)
{
    if (const auto *event = std::get_if<ChromeEvent>(&envelope.message))
        apply(*event, envelope.id);
    else if (const auto *response = std::get_if<ChromeCommandResponse>(&envelope.message))
        absorb(*response); // a late reply: its command has given up, the state is still news
}

// ---------------------------------------------------------------- installing

Result<void, ChromeBridgeError> ChromeNativeHostBridge::bundledNativeHostIfAvailable(const fs::path &destination) const
{
    const QString source = m_options.bundledHostProgram;
    if (source.isEmpty() || !QFileInfo(source).isFile())
        return {};
    std::error_code ec;
    if (fs::equivalent(fs::path(source.toStdString()), destination, ec))
        return {};
    std::string error;
    if (!ensurePrivateDirectory(destination.parent_path(), &error))
        return Failure(bridgeError(ChromeBridgeError::Code::cannotInstallHost, error));
    std::string program;
    if (!readWholeFile(source.toStdString(), program, std::size_t(512) * 1024 * 1024, &error))
        return Failure(bridgeError(ChromeBridgeError::Code::cannotInstallHost, error));
    // Replaced atomically: a browser starting the host meanwhile gets the old
    // program or the new one, never half of it.
    if (!writeFileAtomically(destination, program, &error, 0755))
        return Failure(bridgeError(ChromeBridgeError::Code::cannotInstallHost, error));
    return {};
}

Result<QString, ChromeBridgeError> ChromeNativeHostBridge::installNativeHostManifest(const QString &hostPath,
                                                                                    const QString &extensionID)
{
    const QString absoluteHost = QFileInfo(hostPath).absoluteFilePath();
    if (auto copied = bundledNativeHostIfAvailable(absoluteHost.toStdString()); !copied)
        return Failure(copied.error());

    if (m_options.automationMode) {
        const fs::path dir = m_root / "NativeMessagingHosts";
        const fs::path manifest = dir / kNativeHostManifestFileName;
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec)
            return Failure(bridgeError(ChromeBridgeError::Code::cannotWriteManifest,
                                       "cannot create \"" + dir.string() + "\": " + ec.message()));
        std::string error;
        if (!writeFileAtomically(manifest, chromiumHostManifest(absoluteHost, extensionID), &error, 0644))
            return Failure(bridgeError(ChromeBridgeError::Code::cannotWriteManifest, error));
        const QString path = QString::fromStdString(manifest.string());
        BrowserRegistration chrome;
        chrome.browser = browserByKey(u"google-chrome");
        chrome.manifestPath = path;
        m_registrations = {chrome};
        return path;
    }

    BrowserEnvironment environment = BrowserEnvironment::fromProcessEnvironment(m_options.environment);
    if (!m_options.configHome.isEmpty())
        environment.configHome = m_options.configHome;
    m_registrations = registerNativeHost(
        environment, {absoluteHost, extensionID, QString::fromLatin1(kFirefoxExtensionID)});
    QString first;
    for (const BrowserRegistration &r : m_registrations) {
        if (r.error)
            return Failure(*r.error);
        if (first.isEmpty())
            first = r.manifestPath;
    }
    return first;
}

} // namespace tarni

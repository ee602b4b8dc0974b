#pragma once

#include "chrome/ChromeMessageCodec.h"
#include "chrome/ChromeNativeHostBridgeProtocol.h"
#include "chrome/ChromeStateCache.h"
#include "chrome/NativeHostRegistration.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarni {

struct ChromeBridgeOptions {
    // Automation mode: manifests go to the data root's "NativeMessagingHosts".
    bool automationMode = false;
    // The automation configuration simulates a connected browser: commands
    // without a reply get sample answers instead of a failure.
    bool simulateConnectedChrome = false;
    // The host program we carry; copied by installNativeHostManifest. Empty or
    // missing: nothing is copied and the manifest is written all the same.
    QString bundledHostProgram;
    // The user's configuration folder ($XDG_CONFIG_HOME); empty: the
    // environment's.
    QString configHome;
    // Where the browsers are looked for (HOME, PATH, the XDG folders).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    std::chrono::milliseconds replyTimeout{2000};
    // Added to the wait for each address a command opens: the browser makes
    // a tab in 50-120 ms, so a 500-tab piece of a restore takes up to a minute.
    std::chrono::milliseconds replyTimePerOpenedAddress{250};
    std::chrono::milliseconds replyPollInterval{50};
    std::chrono::milliseconds queuePollInterval{1000};
    // How often the hosts' announcements are checked besides the directory
    // notifications: a killed host leaves its file, only its lock goes.
    std::chrono::milliseconds presencePollInterval{1000};
    // The longest stretch of the GUI thread one pass over the queue takes.
    std::chrono::milliseconds queueSlice{20};
};

// A Slack thread sent from the browser for saving, with the envelope it came
// in (null when simulated): the same envelope taken in twice is stored once.
struct SlackCapture {
    SlackTarget thread;
    QUuid envelopeID;
};

// Sends commands to the extension through the host's queue directories and
// waits briefly for the reply; watches the queue of unsolicited messages and
// applies them; feeds what it learns into the state cache; installs the host.
// Connected means at least one host with a browser connection is running (see
// NativeHostPresence). GUI thread only. Reacts to directory notifications at
// once; the timers stay as the fallback.
class ChromeNativeHostBridge : public QObject, public ChromeNativeHostBridgeProtocol {
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)

public:
    using CommandHandler = std::function<QCoro::Task<ChromeSendResult>(ChromeCommand)>;

    ChromeNativeHostBridge(ChromeStateCache *stateCache, std::filesystem::path applicationSupportRoot,
                           ChromeBridgeOptions options = {}, QObject *parent = nullptr);
    ~ChromeNativeHostBridge() override;

    bool isConnected() const override { return m_isConnected; }
    const std::optional<SlackCapture> &latestSlackCapture() const { return m_latestSlackCapture; }

    QCoro::Task<ChromeSendResult> send(ChromeCommand command) override;
    void simulate(const ChromeEvent &event) override;
    void consumeLatestSlackCapture() override;

    // Copies the host program to `hostPath` and registers it with every
    // browser found (see registerNativeHost); in automation mode writes only
    // the data root's manifest. Returns the first manifest written, empty
    // when no browser was found; the first browser's error when one failed.
    // `extensionID` is the Chromium family's; Firefox's is fixed.
    Result<QString, ChromeBridgeError> installNativeHostManifest(const QString &hostPath, const QString &extensionID);
    // What the latest installNativeHostManifest found and wrote, per browser.
    const std::vector<BrowserRegistration> &browserRegistrations() const { return m_registrations; }

    // Withdraws the requests an earlier run left (call it holding the instance
    // lock), asks a connected browser for its windows, and processes the queue
    // now and then on every change of the queue directory, with a poll as the
    // fallback. A second call only processes the queue.
    void startQueueMonitoring();
    // While held, the queue is left alone (messages wait in it); released,
    // it is processed on the next turn.
    void holdQueue(bool held);

    // Replaces the queue round trip of send(); for tests and other transports.
    void setCommandHandler(CommandHandler handler) { m_commandHandler = std::move(handler); }

    const std::filesystem::path &applicationSupportRoot() const { return m_root; }

Q_SIGNALS:
    void isConnectedChanged();
    void latestSlackCaptureChanged();
    // A reply may have arrived; also emitted on destruction, with every send
    // that waits then ending as cancelled.
    void responseFolderChanged();

private:
    using RoundTrip = Result<std::optional<ChromeCommandResponse>, ChromeBridgeError>;
    QCoro::Task<RoundTrip> sendThroughNativeHost(ChromeCommand command);
    std::optional<ChromeCommandResponse> takeResponse(const std::filesystem::path &file);
    ChromeCommandResponse defaultResponse(const ChromeCommand &command);
    void withdrawRequest(const std::string &name);
    void removeUnawaitedFiles(const std::filesystem::path &dir);
    void absorb(const ChromeCommandResponse &response);
    void apply(const ChromeEvent &event, const QUuid &envelopeID);
    void processQueuedMessages();
    void processQueuedEnvelope(const ChromeHostEnvelope &envelope);
    void scheduleQueuePass();
    void refreshPresence();
    void updateConnection();
    QCoro::Task<> requestFreshState();
    void watch(QFileSystemWatcher *watcher, const std::filesystem::path &dir);
    Result<void, ChromeBridgeError> bundledNativeHostIfAvailable(const std::filesystem::path &destination) const;

    QPointer<ChromeStateCache> m_stateCache;
    std::filesystem::path m_root;
    ChromeBridgeOptions m_options;
    ChromeMessageCodec m_codec;
    bool m_isConnected = false;
    bool m_closing = false;
    // The automation's simulated browser said it is there.
    bool m_simulatedConnection = false;
    std::vector<std::string> m_liveHosts;
    std::optional<SlackCapture> m_latestSlackCapture;
    std::vector<BrowserRegistration> m_registrations;
    CommandHandler m_commandHandler;
    bool m_started = false;
    bool m_freshStateRequested = false;
    // The file names of the replies sends are waiting for; any other response
    // file is a reply that came too late.
    std::set<std::string> m_awaitedResponses;

    QFileSystemWatcher m_responseWatcher;
    QFileSystemWatcher m_queueWatcher;
    QFileSystemWatcher m_hostsWatcher;
    QTimer *m_queueMonitor = nullptr;
    QTimer *m_presenceMonitor = nullptr;
    bool m_queuePassScheduled = false;
    bool m_processingQueue = false;
    bool m_queueHeld = false;
    // The queue as last listed, taken in a slice at a time from m_queueNext.
    std::vector<std::string> m_queueBacklog;
    std::size_t m_queueNext = 0;
};

// The sample answers of a simulated browser.
inline constexpr const char *kSampleWebAddress = "https://example.com/tarnibar-sample";
BrowserTarget sampleBrowserTarget(int index);

} // namespace tarni

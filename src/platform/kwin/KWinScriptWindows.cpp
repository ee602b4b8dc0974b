#include "platform/kwin/KWinScriptWindows.h"

#include "platform/kwin/KWinReplyReceiver.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace tarni {

Q_LOGGING_CATEGORY(lcKWin, "tarnibar.kwin")

namespace {

constexpr const char *kKWinService = "org.kde.KWin";
constexpr const char *kScriptingPath = "/Scripting";
constexpr const char *kScriptingInterface = "org.kde.kwin.Scripting";
constexpr const char *kScriptInterface = "org.kde.kwin.Script";
constexpr const char *kReplyPath = "/KWinReply";
// Far beyond any desktop; a longer list is not a window list.
constexpr qsizetype kMaxWindows = 2048;
constexpr qsizetype kMaxTitle = 1024;
constexpr qsizetype kMaxAppId = 256;
// Logical coordinates beyond this are no desktop's.
constexpr double kMaxCoordinate = 1.0e6;
constexpr double kFrameTolerance = 1.0;

// Runs inside KWin. KWin 6 has workspace.windowList() and
// window.maximizeMode; 5.27 has workspace.clientList() and no maximise
// state, which is read off the frame: a maximised window fills the
// maximise area. Placeholders (@...@) are replaced by numbers and our own
// bus name only.
constexpr const char *kScriptCommon = R"JS((function () {
    var request = "@REQUEST@";
    function send(result) {
        callDBus("@SERVICE@", "/KWinReply", "com.tarni.bar.KWinReply", "reply", request, JSON.stringify(result));
    }
    function text(value) {
        return value === undefined || value === null ? "" : String(value);
    }
    function allWindows() {
        return typeof workspace.windowList === "function" ? workspace.windowList() : workspace.clientList();
    }
    function idOf(w) {
        return text(w.internalId).replace(/[^0-9a-fA-F]/g, "").toLowerCase();
    }
    function find(key) {
        var list = allWindows();
        for (var i = 0; i < list.length; ++i)
            if (idOf(list[i]).substring(0, 8) === key)
                return list[i];
        return null;
    }
    function frameOf(w) {
        var g = w.frameGeometry !== undefined ? w.frameGeometry : w.geometry;
        return {x: g.x, y: g.y, width: g.width, height: g.height};
    }
    function isMaximized(w) {
        if (typeof w.maximizeMode === "number")
            return w.maximizeMode === 3;
        var a = workspace.clientArea(KWin.MaximizeArea, w);
        var g = frameOf(w);
        return g.x === a.x && g.y === a.y && g.width === a.width && g.height === a.height;
    }
    try {
@ACTION@
    } catch (e) {
        send({error: text(e)});
    }
})();
)JS";

constexpr const char *kListAction = R"JS(
        var list = allWindows();
        var windows = [];
        for (var i = 0; i < list.length; ++i) {
            var w = list[i];
            if (!w.normalWindow || w.deleted)
                continue;
            windows.push({id: idOf(w), pid: w.pid, appId: text(w.resourceClass) || text(w.desktopFileName),
                          title: text(w.caption), frame: frameOf(w), focused: !!w.active,
                          maximized: isMaximized(w), minimized: !!w.minimized, fullscreen: !!w.fullScreen});
        }
        send({windows: windows});
)JS";

// Back to the normal state first: a maximised or fullscreen window keeps
// its frame whatever it is given.
constexpr const char *kPlaceAction = R"JS(
        var w = find("@HANDLE@");
        if (!w) {
            send({found: false});
            return;
        }
        if (w.fullScreen)
            w.fullScreen = false;
        if (w.minimized)
            w.minimized = false;
        w.setMaximize(false, false);
        w.frameGeometry = {x: @X@, y: @Y@, width: @WIDTH@, height: @HEIGHT@};
        send({found: true});
)JS";

// The frame first, so that unmaximising later gives it back.
constexpr const char *kRestoreAction = R"JS(
        var w = find("@HANDLE@");
        if (!w) {
            send({found: false});
            return;
        }
        if (w.fullScreen)
            w.fullScreen = false;
        w.setMaximize(false, false);
        w.frameGeometry = {x: @X@, y: @Y@, width: @WIDTH@, height: @HEIGHT@};
        if (@MAXIMIZED_V@ || @MAXIMIZED_H@)
            w.setMaximize(@MAXIMIZED_V@, @MAXIMIZED_H@);
        if (@FULLSCREEN@)
            w.fullScreen = true;
        w.minimized = @MINIMIZED@;
        send({found: true});
)JS";

QString handleText(std::uint64_t handle)
{
    return QStringLiteral("%1").arg(handle, 8, 16, QLatin1Char('0'));
}

bool usableFrame(const QRectF &frame)
{
    for (double value : {frame.x(), frame.y(), frame.width(), frame.height()})
        if (!std::isfinite(value) || std::abs(value) > kMaxCoordinate)
            return false;
    return frame.width() > 0 && frame.height() > 0;
}

QString withFrame(QString action, std::uint64_t handle, const QRectF &frame)
{
    return action.replace(QLatin1String("@HANDLE@"), handleText(handle))
        .replace(QLatin1String("@X@"), QString::number(frame.x(), 'f', 2))
        .replace(QLatin1String("@Y@"), QString::number(frame.y(), 'f', 2))
        .replace(QLatin1String("@WIDTH@"), QString::number(frame.width(), 'f', 2))
        .replace(QLatin1String("@HEIGHT@"), QString::number(frame.height(), 'f', 2));
}

QLatin1String jsBool(bool value)
{
    return value ? QLatin1String("true") : QLatin1String("false");
}

bool framesMatch(const QRectF &a, const QRectF &b)
{
    return std::abs(a.x() - b.x()) <= kFrameTolerance && std::abs(a.y() - b.y()) <= kFrameTolerance
        && std::abs(a.width() - b.width()) <= kFrameTolerance && std::abs(a.height() - b.height()) <= kFrameTolerance;
}

// Our unique bus name, the only text a script gets from us: ":1.42".
bool plainBusName(const QString &name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (QChar c : name)
        if (!(c.isDigit() || c == QLatin1Char(':') || c == QLatin1Char('.')))
            return false;
    return true;
}

std::optional<double> coordinate(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::abs(number) > kMaxCoordinate)
        return std::nullopt;
    return number;
}

} // namespace

std::uint64_t kwinWindowHandle(const QString &internalId)
{
    QString digits = internalId;
    digits.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('-'));
    if (digits.size() != 32)
        return 0;
    for (QChar c : std::as_const(digits))
        if (!c.isDigit() && !(c.toLower() >= QLatin1Char('a') && c.toLower() <= QLatin1Char('f')))
            return 0;
    return digits.left(8).toULongLong(nullptr, 16);
}

std::optional<QList<CompositorWindow>> parseKWinWindowList(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    const QJsonValue entries = document.object().value(QLatin1String("windows"));
    if (!entries.isArray() || entries.toArray().size() > kMaxWindows)
        return std::nullopt;
    QList<CompositorWindow> windows;
    for (const QJsonValue &entry : entries.toArray()) {
        const QJsonObject object = entry.toObject();
        CompositorWindow window;
        window.handle = kwinWindowHandle(object.value(QLatin1String("id")).toString());
        const QJsonObject frame = object.value(QLatin1String("frame")).toObject();
        const auto x = coordinate(frame.value(QLatin1String("x")));
        const auto y = coordinate(frame.value(QLatin1String("y")));
        const auto width = coordinate(frame.value(QLatin1String("width")));
        const auto height = coordinate(frame.value(QLatin1String("height")));
        if (window.handle == 0 || !x || !y || !width || !height || *width < 0 || *height < 0)
            continue;
        window.frame = QRectF(*x, *y, *width, *height);
        const double pid = object.value(QLatin1String("pid")).toDouble(0);
        window.pid = pid >= 1 && pid <= INT32_MAX && pid == std::floor(pid) ? std::int32_t(pid) : 0;
        window.appId = object.value(QLatin1String("appId")).toString().left(kMaxAppId);
        window.title = object.value(QLatin1String("title")).toString().left(kMaxTitle);
        window.focused = object.value(QLatin1String("focused")).toBool();
        window.maximized = object.value(QLatin1String("maximized")).toBool();
        window.minimized = object.value(QLatin1String("minimized")).toBool();
        window.fullscreen = object.value(QLatin1String("fullscreen")).toBool();
        windows << window;
    }
    // Two windows whose ids start alike cannot be told apart by handle:
    // neither is listed, so neither is moved in the other's place.
    QHash<std::uint64_t, int> uses;
    for (const CompositorWindow &window : std::as_const(windows))
        ++uses[window.handle];
    windows.removeIf([&](const CompositorWindow &window) { return uses.value(window.handle) > 1; });
    return windows;
}

KWinScriptWindows::KWinScriptWindows() : KWinScriptWindows(Options{}) {}

KWinScriptWindows::KWinScriptWindows(const Options &options) : m_options(options)
{
    static std::atomic<int> s_instances{0};
    m_connectionName = QStringLiteral("tarnibar-kwin-%1").arg(++s_instances);
    QDBusConnection connection = m_options.busAddress.isEmpty()
        ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName)
        : QDBusConnection::connectToBus(m_options.busAddress, m_connectionName);
    if (!connection.isConnected()) {
        qCWarning(lcKWin, "Cannot connect to the session bus: %s", qPrintable(connection.lastError().message()));
        return;
    }
    // Calls to the receiver are delivered on its thread's event loop, which
    // keeps running while the controller's thread waits for a reply.
    m_thread = std::make_unique<QThread>();
    m_thread->setObjectName(QStringLiteral("KWin replies"));
    m_receiver = new KWinReplyReceiver;
    m_receiver->moveToThread(m_thread.get());
    m_thread->start();
    if (!connection.registerObject(QLatin1String(kReplyPath), m_receiver, QDBusConnection::ExportScriptableSlots))
        qCWarning(lcKWin, "Cannot export the object KWin scripts answer to");
}

KWinScriptWindows::~KWinScriptWindows()
{
    QDBusConnection(m_connectionName).unregisterObject(QLatin1String(kReplyPath));
    QDBusConnection::disconnectFromBus(m_connectionName);
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
    }
    delete m_receiver;
}

bool KWinScriptWindows::connected() const
{
    return m_receiver && QDBusConnection(m_connectionName).isConnected();
}

bool KWinScriptWindows::isAvailable()
{
    if (!connected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("NameHasOwner"));
    call << QString::fromLatin1(kKWinService);
    const QDBusMessage reply = QDBusConnection(m_connectionName).call(call, QDBus::Block, m_options.replyTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

std::optional<QByteArray> KWinScriptWindows::runScript(const QString &action)
{
    if (!connected())
        return std::nullopt;
    QDBusConnection connection(m_connectionName);
    const QString service = connection.baseService();
    if (!plainBusName(service))
        return std::nullopt;
    const quint64 request = m_nextRequest++;
    QString text = QString::fromLatin1(kScriptCommon);
    text.replace(QLatin1String("@ACTION@"), action)
        .replace(QLatin1String("@REQUEST@"), QString::number(request))
        .replace(QLatin1String("@SERVICE@"), service);

    // Private to the user (QTemporaryFile creates it 0600); KWin reads it
    // while the script loads and runs, so it stays until the reply is in.
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/tarnibar-kwin-XXXXXX.js"));
    if (!file.open() || file.write(text.toUtf8()) < 0 || !file.flush()) {
        qCWarning(lcKWin, "Cannot write a KWin script: %s", qPrintable(file.errorString()));
        return std::nullopt;
    }
    file.close();

    const QString plugin = QStringLiteral("tarnibar_%1_%2").arg(QCoreApplication::applicationPid()).arg(request);
    const auto callKWin = [&](const QString &path, const char *interface, const char *method,
                              const QVariantList &arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kKWinService), path,
                                                           QString::fromLatin1(interface), QString::fromLatin1(method));
        call.setArguments(arguments);
        return connection.call(call, QDBus::Block, m_options.replyTimeoutMs);
    };
    m_receiver->expect(request);
    const QDBusMessage loaded = callKWin(QString::fromLatin1(kScriptingPath), kScriptingInterface, "loadScript",
                                         {file.fileName(), plugin});
    const QVariant id = loaded.arguments().value(0);
    if (loaded.type() != QDBusMessage::ReplyMessage || id.typeId() != QMetaType::Int || id.toInt() < 0) {
        qCWarning(lcKWin, "KWin did not load a script: %s", qPrintable(loaded.errorMessage()));
        m_receiver->wait(0);
        return std::nullopt;
    }
    QStringList patterns{QStringLiteral("/Scripting/Script%1"), QStringLiteral("/%1")};
    if (!m_scriptPathPattern.isEmpty())
        patterns = {m_scriptPathPattern};
    bool ran = false;
    for (const QString &pattern : patterns) {
        const QDBusMessage run = callKWin(pattern.arg(id.toInt()), kScriptInterface, "run", {});
        if (run.type() == QDBusMessage::ReplyMessage) {
            m_scriptPathPattern = pattern;
            ran = true;
            break;
        }
    }
    std::optional<QByteArray> reply = m_receiver->wait(ran ? m_options.replyTimeoutMs : 0);
    callKWin(QString::fromLatin1(kScriptingPath), kScriptingInterface, "unloadScript", {plugin});
    if (!ran)
        qCWarning(lcKWin, "KWin did not run a script");
    else if (!reply)
        qCWarning(lcKWin, "A KWin script did not answer within %d ms", m_options.replyTimeoutMs);
    else if (const QJsonValue error = QJsonDocument::fromJson(*reply).object().value(QLatin1String("error"));
             !error.isUndefined()) {
        qCWarning(lcKWin, "A KWin script failed: %s", qPrintable(error.toString().left(200)));
        return std::nullopt;
    }
    return reply;
}

std::optional<QList<CompositorWindow>> KWinScriptWindows::listWindows()
{
    const std::optional<QByteArray> reply = runScript(QString::fromLatin1(kListAction));
    if (!reply)
        return std::nullopt;
    auto windows = parseKWinWindowList(*reply);
    if (!windows)
        qCWarning(lcKWin, "KWin sent no usable window list");
    return windows;
}

bool KWinScriptWindows::runOnWindow(std::uint64_t handle, const QString &action)
{
    const std::optional<QByteArray> reply = runScript(action);
    if (reply && QJsonDocument::fromJson(*reply).object().value(QLatin1String("found")).toBool())
        return true;
    if (reply)
        qCInfo(lcKWin, "Window %s is gone", qPrintable(handleText(handle)));
    return false;
}

bool KWinScriptWindows::waitForWindow(std::uint64_t handle, const std::function<bool(const CompositorWindow &)> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (true) {
        if (const auto windows = listWindows()) {
            const auto window = std::find_if(windows->cbegin(), windows->cend(),
                                             [&](const CompositorWindow &w) { return w.handle == handle; });
            if (window == windows->cend())
                return false;
            if (done(*window))
                return true;
        }
        if (clock.elapsed() + m_options.pollIntervalMs > m_options.settleTimeoutMs)
            return false;
        QThread::msleep(static_cast<unsigned long>(m_options.pollIntervalMs));
    }
}

bool KWinScriptWindows::placeWindow(std::uint64_t handle, const QRectF &frame)
{
    if (handle == 0 || !usableFrame(frame))
        return false;
    if (!runOnWindow(handle, withFrame(QString::fromLatin1(kPlaceAction), handle, frame)))
        return false;
    // Not the maximised flag: on KWin 5.27 it is read off the frame, and a
    // window given the whole work area looks maximised.
    return waitForWindow(handle, [&](const CompositorWindow &window) {
        return !window.minimized && !window.fullscreen && framesMatch(window.frame, frame);
    });
}

bool KWinScriptWindows::restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state)
{
    if (handle == 0 || !usableFrame(frame))
        return false;
    QString action = withFrame(QString::fromLatin1(kRestoreAction), handle, frame);
    action.replace(QLatin1String("@MAXIMIZED_V@"), jsBool(state.maximizedVertically))
        .replace(QLatin1String("@MAXIMIZED_H@"), jsBool(state.maximizedHorizontally))
        .replace(QLatin1String("@FULLSCREEN@"), jsBool(state.fullscreen))
        .replace(QLatin1String("@MINIMIZED@"), jsBool(state.minimized));
    if (!runOnWindow(handle, action))
        return false;
    const bool fullyMaximized = state.maximizedHorizontally && state.maximizedVertically;
    return waitForWindow(handle, [&](const CompositorWindow &window) {
        if (state.minimized || state.fullscreen || fullyMaximized)
            return window.minimized == state.minimized && window.fullscreen == state.fullscreen
                && (!fullyMaximized || window.maximized || window.minimized || window.fullscreen);
        // Maximised one way only shows in neither the frame nor, on 5.27, a flag.
        return state.isMaximized() || framesMatch(window.frame, frame);
    });
}

} // namespace tarni

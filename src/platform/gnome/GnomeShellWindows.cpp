#include "platform/gnome/GnomeShellWindows.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QThread>
#include <QVariantMap>

#include <algorithm>
#include <cmath>
#include <limits>

Q_LOGGING_CATEGORY(lcGnomeShell, "tarnibar.gnome")

namespace tarni {

namespace {

// The shell answers from its main loop; a busy shell still answers within
// this, a hung one must not stall the window controller.
constexpr int kCallTimeoutMs = 2000;
// How long a move may take to show: a Wayland client acknowledges its new
// frame with its next frame drawn.
constexpr int kSettleTimeoutMs = 3000;
constexpr unsigned long kSettleStepMs = 50;
constexpr qint64 kAskAgainMs = 1000;
constexpr qsizetype kMaxReplyLength = 4 * 1024 * 1024;
constexpr qsizetype kMaxWindows = 4096;
constexpr qsizetype kMaxTextLength = 1024;
// Coordinates and sizes the extension accepts; any frame is checked against
// them here first so that a call never fails for a reason we could see.
constexpr int kCoordinateLimit = 100000;
constexpr int kSizeLimit = 32767;
// JSON numbers are doubles: window ids above this could not be told apart.
constexpr double kMaxExactInteger = 9007199254740992.0;

std::optional<qint64> integer(const QJsonValue &value, double minimum, double maximum)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::floor(number) || number < minimum || number > maximum)
        return std::nullopt;
    return qint64(number);
}

std::optional<CompositorWindow> parseWindow(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const auto id = integer(object.value(QLatin1String("id")), 1, kMaxExactInteger);
    const auto pid = integer(object.value(QLatin1String("pid")), -1, std::numeric_limits<std::int32_t>::max());
    const auto x = integer(object.value(QLatin1String("x")), -kCoordinateLimit, kCoordinateLimit);
    const auto y = integer(object.value(QLatin1String("y")), -kCoordinateLimit, kCoordinateLimit);
    const auto width = integer(object.value(QLatin1String("width")), 0, kSizeLimit);
    const auto height = integer(object.value(QLatin1String("height")), 0, kSizeLimit);
    const QJsonValue appId = object.value(QLatin1String("appId"));
    const QJsonValue title = object.value(QLatin1String("title"));
    if (!id || !pid || !x || !y || !width || !height || !appId.isString() || !title.isString())
        return std::nullopt;
    bool flags[5] = {};
    const char *const flagNames[5] = {"focused", "maximizedHorizontally", "maximizedVertically", "minimized",
                                      "fullscreen"};
    for (int i = 0; i < 5; ++i) {
        const QJsonValue flag = object.value(QLatin1String(flagNames[i]));
        if (!flag.isBool())
            return std::nullopt;
        flags[i] = flag.toBool();
    }
    CompositorWindow window;
    window.handle = std::uint64_t(*id);
    // Mutter says -1 for a client whose pid it could not learn.
    window.pid = std::int32_t(std::max<qint64>(*pid, 0));
    window.appId = appId.toString().left(kMaxTextLength);
    window.title = title.toString().left(kMaxTextLength);
    window.frame = QRectF(double(*x), double(*y), double(*width), double(*height));
    window.focused = flags[0];
    // GNOME's half-screen tiling maximises one way only; the record keeps
    // both directions, so either counts as maximised here.
    window.maximized = flags[1] || flags[2];
    window.minimized = flags[3];
    window.fullscreen = flags[4];
    return window;
}

// The frame in whole logical pixels, when the extension would take it.
std::optional<QRect> wholeFrame(const QRectF &frame)
{
    const double values[4] = {frame.x(), frame.y(), frame.width(), frame.height()};
    for (double value : values)
        if (!std::isfinite(value) || std::fabs(value) > kCoordinateLimit)
            return std::nullopt;
    const QRect rect(int(std::lround(frame.x())), int(std::lround(frame.y())), int(std::lround(frame.width())),
                     int(std::lround(frame.height())));
    if (rect.width() < 1 || rect.height() < 1 || rect.width() > kSizeLimit || rect.height() > kSizeLimit)
        return std::nullopt;
    return rect;
}

QDBusMessage placementCall(const char *method, const QVariantList &arguments)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kGnomeShellPlacementService), QLatin1String(kGnomeShellPlacementPath),
                                       QLatin1String(kGnomeShellPlacementInterface), QLatin1String(method));
    call.setArguments(arguments);
    return call;
}

bool acceptedReply(const QDBusMessage &reply, const char *method)
{
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qCWarning(lcGnomeShell) << method << "failed:" << reply.errorName() << reply.errorMessage().left(200);
        return false;
    }
    return reply.arguments().size() == 1 && reply.arguments().first().metaType() == QMetaType::fromType<bool>()
           && reply.arguments().first().toBool();
}

} // namespace

std::optional<QList<CompositorWindow>> parseGnomeShellWindowList(const QString &json)
{
    if (json.size() > kMaxReplyLength)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray() || document.array().size() > kMaxWindows)
        return std::nullopt;
    QList<CompositorWindow> windows;
    for (const QJsonValue &entry : document.array()) {
        const std::optional<CompositorWindow> window = parseWindow(entry);
        if (!window)
            return std::nullopt;
        windows << *window;
    }
    return windows;
}

GnomeShellWindows::GnomeShellWindows(QDBusConnection bus)
    : m_bus(std::move(bus))
{
}

bool GnomeShellWindows::isAvailable()
{
    if (!m_bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << QLatin1String(kGnomeShellPlacementService);
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1
           && reply.arguments().first().toBool();
}

std::optional<QList<CompositorWindow>> GnomeShellWindows::listWindows()
{
    const QDBusMessage reply = m_bus.call(placementCall("ListWindows", {}), QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1
        || reply.arguments().first().metaType() != QMetaType::fromType<QString>()) {
        qCWarning(lcGnomeShell) << "ListWindows failed:" << reply.errorName() << reply.errorMessage().left(200);
        return std::nullopt;
    }
    std::optional<QList<CompositorWindow>> windows = parseGnomeShellWindowList(reply.arguments().first().toString());
    if (!windows)
        qCWarning(lcGnomeShell) << "ListWindows gave a malformed list";
    return windows;
}

template<typename Settled>
bool GnomeShellWindows::waitFor(std::uint64_t handle, Settled settled, const std::function<bool()> &ask)
{
    if (!ask())
        return false;
    QElapsedTimer clock;
    clock.start();
    bool askedAgain = false;
    for (;;) {
        if (const auto windows = listWindows()) {
            const auto found = std::find_if(windows->cbegin(), windows->cend(),
                                            [handle](const CompositorWindow &window) { return window.handle == handle; });
            if (found == windows->cend())
                return false;
            if (settled(*found))
                return true;
        }
        if (clock.elapsed() >= kSettleTimeoutMs)
            return false;
        // A client that was still setting up its first frame can miss the
        // new size; asked once more, it takes it.
        if (!askedAgain && clock.elapsed() >= kAskAgainMs) {
            askedAgain = true;
            ask();
        }
        QThread::msleep(kSettleStepMs);
    }
}

bool GnomeShellWindows::placeWindow(std::uint64_t handle, const QRectF &frame)
{
    const std::optional<QRect> rect = wholeFrame(frame);
    if (handle == 0 || !rect)
        return false;
    const QVariantList arguments{QVariant::fromValue(qulonglong(handle)), rect->x(), rect->y(), rect->width(),
                                 rect->height()};
    return waitFor(
        handle,
        [&](const CompositorWindow &window) {
            return window.frame == QRectF(*rect) && !window.maximized && !window.minimized && !window.fullscreen;
        },
        [&] {
            return acceptedReply(m_bus.call(placementCall("PlaceWindow", arguments), QDBus::Block, kCallTimeoutMs),
                                 "PlaceWindow");
        });
}

bool GnomeShellWindows::restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state)
{
    const std::optional<QRect> rect = wholeFrame(frame);
    if (handle == 0 || !rect)
        return false;
    const QVariantMap flags{
        {QStringLiteral("maximizedHorizontally"), state.maximizedHorizontally},
        {QStringLiteral("maximizedVertically"), state.maximizedVertically},
        {QStringLiteral("minimized"), state.minimized},
        {QStringLiteral("fullscreen"), state.fullscreen},
    };
    const QVariantList arguments{QVariant::fromValue(qulonglong(handle)), rect->x(), rect->y(), rect->width(),
                                 rect->height(), flags};
    return waitFor(
        handle,
        [&](const CompositorWindow &window) {
            if (state.isNormal())
                return window.frame == QRectF(*rect) && !window.maximized && !window.minimized && !window.fullscreen;
            return window.maximized == state.isMaximized() && window.minimized == state.minimized &&
                   window.fullscreen == state.fullscreen;
        },
        [&] {
            return acceptedReply(m_bus.call(placementCall("RestoreWindow", arguments), QDBus::Block, kCallTimeoutMs),
                                 "RestoreWindow");
        });
}

} // namespace tarni

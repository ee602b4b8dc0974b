#include "platform/sway/SwayWindows.h"

#include "platform/sway/SwayIpc.h"
#include "platform/sway/SwayLogging.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <unistd.h>

namespace tarni {

namespace {

// Deeper nesting than any real layout; a hostile reply must not exhaust the
// stack.
constexpr int kMaxDepth = 64;
constexpr int kMaxNodes = 100000;
constexpr double kMaxCoordinate = 1e6;
constexpr qint64 kMaxExactInteger = qint64(1) << 53;
// Edges in whole logical pixels: sway rounds, and a pixel either way is the
// same place.
constexpr double kTolerance = 1.0;

std::optional<qint64> integer(const QJsonValue &value, qint64 minimum, qint64 maximum)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::floor(number) || number < double(minimum) || number > double(maximum))
        return std::nullopt;
    return qint64(number);
}

std::optional<QRectF> rectangle(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    const auto x = integer(object.value(QLatin1String("x")), qint64(-kMaxCoordinate), qint64(kMaxCoordinate));
    const auto y = integer(object.value(QLatin1String("y")), qint64(-kMaxCoordinate), qint64(kMaxCoordinate));
    const auto width = integer(object.value(QLatin1String("width")), 0, qint64(kMaxCoordinate));
    const auto height = integer(object.value(QLatin1String("height")), 0, qint64(kMaxCoordinate));
    if (!x || !y || !width || !height)
        return std::nullopt;
    return QRectF(double(*x), double(*y), double(*width), double(*height));
}

struct Walk {
    QList<SwayView> views;
    int nodes = 0;
    bool malformed = false;
};

void walk(const QJsonObject &node, int depth, QRectF output, bool inScratchpad, Walk &walk_);

void walkChildren(const QJsonObject &node, int depth, const QRectF &output, bool inScratchpad, Walk &state)
{
    for (const char *key : {"nodes", "floating_nodes"}) {
        const QJsonValue children = node.value(QLatin1String(key));
        if (children.isUndefined() || children.isNull())
            continue;
        if (!children.isArray()) {
            state.malformed = true;
            return;
        }
        for (const QJsonValue &child : children.toArray()) {
            if (!child.isObject() || state.malformed) {
                state.malformed = true;
                return;
            }
            walk(child.toObject(), depth + 1, output, inScratchpad, state);
        }
    }
}

void walk(const QJsonObject &node, int depth, QRectF output, bool inScratchpad, Walk &state)
{
    if (depth > kMaxDepth || ++state.nodes > kMaxNodes) {
        state.malformed = true;
        return;
    }
    const QString type = node.value(QLatin1String("type")).toString();
    const QString name = node.value(QLatin1String("name")).toString();
    if (type == QLatin1String("output")) {
        output = rectangle(node.value(QLatin1String("rect"))).value_or(QRectF());
    } else if (type == QLatin1String("workspace") && name == QLatin1String("__i3_scratch")) {
        inScratchpad = true;
    } else if (type == QLatin1String("con") || type == QLatin1String("floating_con")) {
        const QJsonValue pidValue = node.value(QLatin1String("pid"));
        // Containers that only split their children have no pid.
        if (!pidValue.isUndefined() && !pidValue.isNull()) {
            const auto id = integer(node.value(QLatin1String("id")), 1, kMaxExactInteger);
            const auto pid = integer(pidValue, 0, std::numeric_limits<std::int32_t>::max());
            const auto rect = rectangle(node.value(QLatin1String("rect")));
            const auto deco = rectangle(node.value(QLatin1String("deco_rect")));
            if (!id || !pid || !rect) {
                state.malformed = true;
                return;
            }
            SwayView view;
            view.window.handle = std::uint64_t(*id);
            view.window.pid = std::int32_t(*pid);
            const QJsonValue appId = node.value(QLatin1String("app_id"));
            view.window.appId = appId.isString()
                                    ? appId.toString()
                                    : node.value(QLatin1String("window_properties")).toObject().value(QLatin1String("class")).toString();
            view.window.title = name;
            // The title bar sits above `rect`, deco_rect.height tall.
            const double titleBar = deco ? deco->height() : 0.0;
            view.window.frame = rect->adjusted(0, -titleBar, 0, 0);
            view.window.focused = node.value(QLatin1String("focused")).toBool();
            view.window.fullscreen = node.value(QLatin1String("fullscreen_mode")).toInt() != 0;
            view.window.minimized = inScratchpad;
            view.floating = type == QLatin1String("floating_con");
            view.window.tiled = !view.floating && !inScratchpad;
            view.x11Window = std::uint32_t(integer(node.value(QLatin1String("window")), 0, 0xffffffffLL).value_or(0));
            view.output = output;
            view.sticky = node.value(QLatin1String("sticky")).toBool();
            view.borderless = node.value(QLatin1String("border")).toString() == QLatin1String("none");
            state.views << view;
        }
    }
    walkChildren(node, depth, output, inScratchpad, state);
}

QByteArray number(double value)
{
    return QByteArray::number(qint64(std::lround(value)));
}

bool sameFrame(const QRectF &a, const QRectF &b)
{
    return std::abs(a.x() - b.x()) <= kTolerance && std::abs(a.y() - b.y()) <= kTolerance
        && std::abs(a.width() - b.width()) <= kTolerance && std::abs(a.height() - b.height()) <= kTolerance;
}

} // namespace

std::optional<QList<SwayView>> parseSwayViews(const QJsonDocument &tree)
{
    if (!tree.isObject() || tree.object().value(QLatin1String("type")).toString() != QLatin1String("root"))
        return std::nullopt;
    Walk state;
    walk(tree.object(), 0, QRectF(), false, state);
    if (state.malformed)
        return std::nullopt;
    // Container ids grow with every new container.
    std::stable_sort(state.views.begin(), state.views.end(),
                     [](const SwayView &a, const SwayView &b) { return a.window.handle < b.window.handle; });
    return state.views;
}

std::optional<QByteArray> swayFrameCommands(const QRectF &frame)
{
    const bool sane = std::isfinite(frame.x()) && std::isfinite(frame.y()) && std::isfinite(frame.width())
                   && std::isfinite(frame.height()) && std::abs(frame.x()) < kMaxCoordinate
                   && std::abs(frame.y()) < kMaxCoordinate && frame.width() >= 1 && frame.height() >= 1
                   && frame.width() < kMaxCoordinate && frame.height() < kMaxCoordinate;
    if (!sane)
        return std::nullopt;
    // On a floating container both take the outer frame, title bar included.
    return "resize set " + number(frame.width()) + ' ' + number(frame.height()) + ", move absolute position "
         + number(frame.x()) + ' ' + number(frame.y());
}

SwayWindows::SwayWindows(std::shared_ptr<SwayIpc> ipc, Options options) : m_ipc(std::move(ipc)), m_options(options)
{
    if (m_options.ownPid == 0)
        m_options.ownPid = ::getpid();
}

bool SwayWindows::isAvailable()
{
    return m_ipc->answers();
}

std::optional<QList<CompositorWindow>> SwayWindows::listWindows()
{
    const auto tree = m_ipc->requestJson(SwayIpc::MessageType::getTree);
    const auto views = tree ? parseSwayViews(*tree) : std::nullopt;
    if (!views)
        return std::nullopt;
    QList<CompositorWindow> windows;
    for (const SwayView &view : *views)
        if (view.window.pid != m_options.ownPid)
            windows << view.window;
    return windows;
}

std::optional<SwayView> SwayWindows::view(std::uint64_t handle)
{
    const auto tree = m_ipc->requestJson(SwayIpc::MessageType::getTree);
    const auto views = tree ? parseSwayViews(*tree) : std::nullopt;
    if (!views)
        return std::nullopt;
    for (const SwayView &view : *views)
        if (view.window.handle == handle && view.window.pid != m_options.ownPid)
            return view;
    return std::nullopt;
}

bool SwayWindows::runOn(std::uint64_t handle, const QByteArray &commands)
{
    return m_ipc->runCommand("[con_id=" + QByteArray::number(quint64(handle)) + "] " + commands);
}

bool SwayWindows::settle(std::uint64_t handle, const std::function<bool(const SwayView &)> &done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_options.settleTimeoutMs);
    for (;;) {
        const auto current = view(handle);
        if (current && done(*current))
            return true;
        if (!current || std::chrono::steady_clock::now() >= deadline) {
            qCWarning(lcSway) << "container" << handle << "did not settle; it has"
                              << (current ? current->window.frame : QRectF());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

bool SwayWindows::placeWindow(std::uint64_t handle, const QRectF &frame)
{
    const auto frameCommands = swayFrameCommands(frame);
    const auto current = view(handle);
    if (!frameCommands || !current)
        return false;
    QByteArray commands;
    // `scratchpad show` toggles: only for a window that is in the scratchpad.
    if (current->window.minimized)
        commands += "scratchpad show, ";
    commands += "fullscreen disable, floating enable, " + *frameCommands;
    if (!runOn(handle, commands))
        return false;
    return settle(handle, [&frame](const SwayView &view) {
        return view.floating && !view.window.fullscreen && !view.window.minimized && sameFrame(view.window.frame, frame);
    });
}

bool SwayWindows::restoreWindow(std::uint64_t handle, const QRectF &frame, const OriginalWindowState &state)
{
    const auto current = view(handle);
    if (!current)
        return false;
    QByteArray commands = current->window.minimized ? "scratchpad show, fullscreen disable, " : "fullscreen disable, ";
    if (state.tiled) {
        // The layout decides a tiled window's frame.
        commands += "floating disable";
    } else {
        const auto frameCommands = swayFrameCommands(frame);
        if (!frameCommands)
            return false;
        commands += "floating enable, " + *frameCommands;
    }
    // sway has no maximised state; a minimised window goes to the scratchpad.
    if (state.fullscreen)
        commands += ", fullscreen enable";
    else if (state.minimized)
        commands += ", move scratchpad";
    if (!runOn(handle, commands))
        return false;
    return settle(handle, [&](const SwayView &view) {
        if (view.window.fullscreen != state.fullscreen || view.window.minimized != (state.minimized && !state.fullscreen))
            return false;
        if (state.tiled)
            return view.window.minimized || !view.floating;
        return state.fullscreen || state.minimized || sameFrame(view.window.frame, frame);
    });
}

} // namespace tarni

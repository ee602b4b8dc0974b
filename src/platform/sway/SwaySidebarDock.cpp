#include "platform/sway/SwaySidebarDock.h"

#include "platform/sway/SwayIpc.h"
#include "platform/sway/SwayLogging.h"
#include "platform/sway/SwayWindows.h"
#include "platform/x11/DockWindow.h"

#include <QFile>
#include <QGuiApplication>
#include <QJsonObject>
#include <QSaveFile>
#include <QWindow>

#include <cmath>
#include <unistd.h>

namespace tarni {

namespace {

constexpr int kRetryMs = 100;
// The window shows up within a few frames of being mapped; this is ample.
constexpr int kMaxRetries = 100;
constexpr qint64 kMaxStateFileSize = 4096;
constexpr int kMaxGap = 100000;

const QLatin1String kSocketKey("socket");
const QLatin1String kLeftGapKey("addedLeftGap");
const QLatin1String kDefaultGapKey("defaultLeftGap");

std::optional<int> gapAmount(QString text)
{
    if (text.endsWith(QLatin1String("px")))
        text.chop(2);
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && std::abs(value) <= kMaxGap ? std::optional<int>(value) : std::nullopt;
}

} // namespace

SwaySidebarDock::SwaySidebarDock(std::shared_ptr<SwayIpc> ipc, QString stateFile, QObject *parent)
    : QObject(parent), m_ipc(std::move(ipc)), m_stateFile(std::move(stateFile))
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);
    connect(&m_retry, &QTimer::timeout, this, &SwaySidebarDock::apply);
    undoLeftBehind();
}

SwaySidebarDock::~SwaySidebarDock()
{
    release();
}

std::unique_ptr<SwaySidebarDock> SwaySidebarDock::create(const QByteArray &socketPath, const QString &stateFile)
{
    if (socketPath.isEmpty())
        return nullptr;
    auto ipc = std::make_shared<SwayIpc>(socketPath);
    if (!ipc->answers())
        return nullptr;
    return std::make_unique<SwaySidebarDock>(std::move(ipc), stateFile);
}

void SwaySidebarDock::undoLeftBehind()
{
    QFile file(m_stateFile);
    if (!file.exists())
        return;
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.read(kMaxStateFileSize) : QByteArray();
    const QJsonObject state = QJsonDocument::fromJson(text).object();
    const double gap = state.value(kLeftGapKey).toDouble();
    const QJsonValue defaultGap = state.value(kDefaultGapKey);
    // A compositor started since has its gaps from its configuration again;
    // its socket's name holds its process id.
    if (state.value(kSocketKey).toString().toUtf8() == m_ipc->socketPath() && gap >= 1 && gap <= kMaxGap) {
        m_addedGap = int(gap);
        if (defaultGap.isDouble() && std::abs(defaultGap.toDouble()) <= kMaxGap)
            m_defaultGap = defaultGap.toInt();
        qCInfo(lcSway) << "taking away the left gap of" << m_addedGap << "that an earlier run left";
        if (!changeGap(0))
            return;
    }
    QFile::remove(m_stateFile);
}

void SwaySidebarDock::dock(QWindow &window, const QRectF &frame)
{
    if (m_window != &window || m_frame != frame)
        m_retriesLeft = kMaxRetries;
    m_window = &window;
    m_frame = frame;
    apply();
}

void SwaySidebarDock::release()
{
    m_retry.stop();
    m_window = nullptr;
    m_docked = false;
    changeGap(0);
}

void SwaySidebarDock::apply()
{
    if (!m_window)
        return;
    const auto tree = m_ipc->requestJson(SwayIpc::MessageType::getTree);
    const auto views = tree ? parseSwayViews(*tree) : std::nullopt;
    const std::uint32_t x11Window = DockWindow::nativeId(*m_window);
    const bool isX11 = QGuiApplication::platformName() == QLatin1String("xcb");
    const SwayView *sidebar = nullptr;
    if (views) {
        for (const SwayView &view : *views) {
            // A native Wayland window of ours is known by its title only:
            // the content window has another one.
            if (view.window.pid == ::getpid()
                && (isX11 ? view.x11Window == x11Window : view.window.title == m_window->title())) {
                sidebar = &view;
                break;
            }
        }
    }
    if (!sidebar) {
        if (m_retriesLeft-- > 0)
            m_retry.start();
        else
            qCWarning(lcSway) << "the sidebar is not in sway's tree; it is not docked";
        return;
    }
    const int width = int(std::lround(m_frame.width()));
    const QRectF &output = sidebar->output;
    const QRectF wanted(output.x(), output.y(), width, output.height());
    m_docked = sidebar->floating;
    if (!sidebar->floating || !sidebar->sticky || !sidebar->borderless || sidebar->window.frame != wanted) {
        const auto frameCommands = swayFrameCommands(wanted);
        if (!frameCommands)
            return;
        m_ipc->runCommand("[con_id=" + QByteArray::number(quint64(sidebar->window.handle))
                          + "] floating enable, sticky enable, border none, " + *frameCommands);
    }
    changeGap(width);
}

bool SwaySidebarDock::changeGap(int wanted)
{
    if (wanted == m_addedGap)
        return true;
    if (m_addedGap == 0) {
        const auto config = m_ipc->requestJson(SwayIpc::MessageType::getConfig);
        m_defaultGap = config ? swayDefaultLeftGap(config->object().value(QLatin1String("config")).toString())
                              : std::nullopt;
        if (!m_defaultGap)
            qCInfo(lcSway) << "the configured left gap is unknown; new workspaces do not leave room for the sidebar";
    }
    const int change = wanted - m_addedGap;
    QByteArray command = QByteArray("gaps left all ") + (change > 0 ? "plus " : "minus ")
                       + QByteArray::number(std::abs(change));
    if (m_defaultGap)
        command += "; gaps left " + QByteArray::number(*m_defaultGap + wanted);
    // Written ahead: a crash the moment after the gap shows finds it
    // recorded (writing takes longer than the command).
    if (wanted != 0 && !writeState(wanted))
        qCWarning(lcSway) << "could not write" << m_stateFile << "; a crash would leave the left gap behind";
    if (!m_ipc->runCommand(command)) {
        if (m_addedGap == 0)
            QFile::remove(m_stateFile);
        else
            (void)writeState(m_addedGap);
        return false;
    }
    m_addedGap = wanted;
    if (m_addedGap == 0)
        QFile::remove(m_stateFile);
    return true;
}

bool SwaySidebarDock::writeState(int addedGap)
{
    QSaveFile file(m_stateFile);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QJsonObject state{{kSocketKey, QString::fromUtf8(m_ipc->socketPath())}, {kLeftGapKey, addedGap}};
    if (m_defaultGap)
        state.insert(kDefaultGapKey, *m_defaultGap);
    file.write(QJsonDocument(state).toJson(QJsonDocument::Compact));
    return file.commit();
}

std::optional<int> swayDefaultLeftGap(const QString &config)
{
    int gap = 0;
    int depth = 0;
    for (const QString &rawLine : config.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.startsWith(QLatin1Char('#')))
            continue;
        const bool atTopLevel = depth == 0;
        depth = std::max(0, depth + int(line.count(QLatin1Char('{'))) - int(line.count(QLatin1Char('}'))));
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!atTopLevel || words.size() < 3 || words[0] != QLatin1String("gaps"))
            continue;
        if (words[1] != QLatin1String("outer") && words[1] != QLatin1String("horizontal")
            && words[1] != QLatin1String("left"))
            continue;
        const auto amount = words.size() == 3 ? gapAmount(words[2]) : std::nullopt;
        if (!amount)
            return std::nullopt;
        gap = *amount;
    }
    return gap;
}

} // namespace tarni

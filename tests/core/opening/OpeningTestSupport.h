#pragma once

#include "TaskSupport.h"

#include "chrome/ChromeNativeHostBridgeProtocol.h"
#include "model/WorkspaceNode.h"
#include "opening/ExternalOpening.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcessEnvironment>
#include <QThread>

#include <functional>
#include <optional>

namespace tarni::test {

// Writes `content` to `path`, creating its folders.
inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

// `base` with HOME and the desktop's folders under `root` (config, etc,
// data; system data from `dataDirs`) and no desktop session: only the test's
// own default applications count, and xdg-open runs their commands itself.
inline QProcessEnvironment privateDesktop(const QString &root, const QString &dataDirs, QProcessEnvironment base)
{
    for (const char *name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
                             "BROWSER", "WAYLAND_DISPLAY"})
        base.remove(QLatin1String(name));
    base.insert(QStringLiteral("HOME"), root);
    base.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    base.insert(QStringLiteral("XDG_CONFIG_DIRS"), root + QStringLiteral("/etc"));
    base.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    base.insert(QStringLiteral("XDG_DATA_DIRS"), dataDirs);
    return base;
}

// Records what it was asked to open; accepts or refuses as told.
class RecordingOpener final : public ExternalOpening {
public:
    bool open(const AcceptedAddress &address) override
    {
        opened.append(address.url());
        return accepts;
    }
    QCoro::Task<bool> reveal(QUrl fileURL) override
    {
        revealed.append(fileURL);
        co_return accepts;
    }
    bool accepts = true;
    QList<QUrl> opened;
    QList<QUrl> revealed;
};

// Answers every command with `answer(command)` when set, else with `reply`
// (or `error`), and records the commands.
class SimulatedBridge final : public ChromeNativeHostBridgeProtocol {
public:
    bool isConnected() const override { return connected; }
    QCoro::Task<ChromeSendResult> send(ChromeCommand command) override
    {
        sent.append(command);
        if (error)
            co_return Failure(*error);
        if (answer)
            co_return answer(command);
        co_return reply;
    }
    void simulate(const ChromeEvent &) override {}
    void consumeLatestSlackCapture() override {}

    bool connected = true;
    ChromeCommandResponse reply{true, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    std::function<ChromeCommandResponse(const ChromeCommand &)> answer;
    std::optional<ChromeBridgeError> error;
    QList<ChromeCommand> sent;
};

inline WorkspaceNode node(NodePayload payload, std::optional<QUuid> parent = std::nullopt, double order = 0)
{
    const Timestamp t(std::chrono::seconds(1'700'000'000));
    const WorkspaceNodeKind kind = payload.kind();
    return WorkspaceNode(QUuid::createUuid(), QUuid(), parent, kind, QStringLiteral("n"), std::nullopt, order, false,
                         std::nullopt, t, t, std::nullopt, std::move(payload));
}

inline WorkspaceNode tab(const QString &url, std::optional<QUuid> parent = std::nullopt, double order = 0)
{
    return node(NodePayload::chromeTab(BrowserTarget{url, QStringLiteral("t"), std::nullopt,
                                                     BrowserOpenMode::existingTab, std::nullopt}),
                parent, order);
}
inline WorkspaceNode link(const QString &url, std::optional<QUuid> parent = std::nullopt, double order = 0)
{
    return node(NodePayload::webLink(WebLinkTarget{url, std::nullopt}), parent, order);
}
inline WorkspaceNode file(const QString &path) { return node(NodePayload::file(FileTarget{path, std::nullopt})); }
inline WorkspaceNode folder(const QString &path) { return node(NodePayload::folder(FileTarget{path, std::nullopt})); }
inline WorkspaceNode group(std::optional<QUuid> parent = std::nullopt, double order = 0)
{
    return node(NodePayload::group(), parent, order);
}

} // namespace tarni::test

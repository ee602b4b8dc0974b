#pragma once

// What the real-browser tests share: pages served by title, tree nodes to
// restore, and a look at the X server through xdotool.

#include "LocalHttpServer.h"

#include "model/WorkspaceNode.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace tarni::test {

// A page titled `name`, served by `pages` from now on; its address.
inline QString titledPage(LocalHttpServer &pages, const char *name)
{
    const QString path = QStringLiteral("/") + QLatin1String(name);
    pages.serve(path, QStringLiteral("<!doctype html><html><head><title>%1</title></head><body>%1</body></html>")
                          .arg(QLatin1String(name))
                          .toUtf8());
    return pages.url(path);
}

inline WorkspaceNode tabNode(const QString &url, std::optional<RuntimeTabBinding> binding = std::nullopt,
                             std::optional<QUuid> parent = std::nullopt, double order = 0)
{
    const Timestamp t(std::chrono::seconds(1'700'000'000));
    return WorkspaceNode(QUuid::createUuid(), QUuid(), parent, WorkspaceNodeKind::chromeTab, url, std::nullopt, order,
                         false, std::nullopt, t, t, std::nullopt,
                         NodePayload::chromeTab(BrowserTarget{url, url, std::nullopt, BrowserOpenMode::newTab, binding}));
}

inline WorkspaceNode groupNode(std::optional<QUuid> parent, double order)
{
    const Timestamp t(std::chrono::seconds(1'700'000'000));
    return WorkspaceNode(QUuid::createUuid(), QUuid(), parent, WorkspaceNodeKind::group, QStringLiteral("g"),
                         std::nullopt, order, false, std::nullopt, t, t, std::nullopt, NodePayload::group());
}

// xdotool's output on `display`, trimmed.
inline QString xdotool(const QString &display, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(5000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

} // namespace tarni::test

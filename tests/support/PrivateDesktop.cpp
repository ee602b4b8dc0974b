#include "PrivateDesktop.h"

#include "XvfbSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tarni::test {

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace

QString preparePrivateDesktop(const QString &dir, const QString &testWindow, const QByteArray &viewerGeometry)
{
    const QDir root(dir);
    const QString viewer = root.filePath(QStringLiteral("bin/tarni-test-viewer"));
    QDir().mkpath(root.filePath(QStringLiteral("bin")));
    QDir().mkpath(root.filePath(QStringLiteral("etc")));
    QDir().mkpath(root.filePath(QStringLiteral("root")));
    if (!QFile::copy(testWindow, viewer) ||
        !QFile(viewer).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return {};
    const QByteArray entry = "[Desktop Entry]\nType=Application\nName=Viewer\nExec=" + viewer.toUtf8() + " --geometry " +
                             viewerGeometry + " %f\n";
    if (!writeFile(root.filePath(QStringLiteral("data/applications/test-viewer.desktop")), entry) ||
        !writeFile(root.filePath(QStringLiteral("config/mimeapps.list")),
                   "[Default Applications]\ntext/plain=test-viewer.desktop\n"))
        return {};
    return viewer;
}

QStringList privateDesktopEnvironment(const QString &dir, const QString &display, const QString &busAddress)
{
    const QDir root(dir);
    return {asanOptionsForXcbClient(),
            QStringLiteral("DISPLAY=") + display,
            QStringLiteral("QT_QPA_PLATFORM=xcb"),
            QStringLiteral("DBUS_SESSION_BUS_ADDRESS=") + busAddress,
            QStringLiteral("TARNI_UITEST_ROOT=") + root.filePath(QStringLiteral("root")),
            QStringLiteral("HOME=") + dir,
            QStringLiteral("XDG_CONFIG_HOME=") + root.filePath(QStringLiteral("config")),
            QStringLiteral("XDG_CONFIG_DIRS=") + root.filePath(QStringLiteral("etc")),
            QStringLiteral("XDG_DATA_HOME=") + root.filePath(QStringLiteral("data")),
            QStringLiteral("XDG_DATA_DIRS=/usr/share"),
            QStringLiteral("XDG_CURRENT_DESKTOP="),
            QStringLiteral("DESKTOP_SESSION="),
            QStringLiteral("BROWSER=")};
}

} // namespace tarni::test

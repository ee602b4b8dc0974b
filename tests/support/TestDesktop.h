#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace tarni::test {

// A private freedesktop setup for "open this file" tests: a desktop entry
// "tarni-test-viewer.desktop" running `viewerScript` (a /bin/sh script), the
// default application for text files, folders and web addresses in a
// mimeapps.list of its own. environment() is what xdg-open must run in: no
// desktop environment, so xdg-open reads these files itself.
class TestDesktop {
public:
    explicit TestDesktop(const QByteArray &viewerScript, const QString &windowClass = QStringLiteral("TbView"))
    {
        const QString viewer = path(QStringLiteral("bin/tbview"));
        write(viewer, "#!/bin/sh\n" + viewerScript);
        QFile(viewer).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write(path(QStringLiteral("data/applications/tarni-test-viewer.desktop")),
              "[Desktop Entry]\nType=Application\nName=Test viewer\nExec=" + viewer.toUtf8()
                  + " %f\nMimeType=text/plain;inode/directory;x-scheme-handler/https;\nStartupWMClass="
                  + windowClass.toUtf8() + "\n");
        write(path(QStringLiteral("config/mimeapps.list")),
              "[Default Applications]\ntext/plain=tarni-test-viewer.desktop\ninode/directory=tarni-test-viewer.desktop\n"
              "x-scheme-handler/https=tarni-test-viewer.desktop\n");
        QDir().mkpath(path(QStringLiteral("home")));
        QDir().mkpath(path(QStringLiteral("etc")));

        m_env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"XDG_CURRENT_DESKTOP", "XDG_SESSION_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                                 "GNOME_DESKTOP_SESSION_ID", "BROWSER", "WAYLAND_DISPLAY"})
            m_env.remove(QLatin1String(name));
        m_env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
        m_env.insert(QStringLiteral("XDG_CONFIG_DIRS"), path(QStringLiteral("etc")));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
        // The shared MIME database stays visible; other applications do not
        // matter, the mimeapps.list above wins.
        m_env.insert(QStringLiteral("XDG_DATA_DIRS"), QStringLiteral("/usr/share"));
    }

    bool isValid() const { return m_dir.isValid(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QProcessEnvironment environment() const { return m_env; }
    void setDisplay(const QString &display) { m_env.insert(QStringLiteral("DISPLAY"), display); }

    static bool write(const QString &file, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
    }

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
};

} // namespace tarni::test

// tarnibar: the docked sidebar application.
//   tarnibar [--background] [--version] [--exit-after-first-paint] [automation switches]
#include "app/TarniBarApplication.h"
#include "platform/session/DisplaySession.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QIcon>

#include <cstdio>
#include <cstring>

using namespace tarni;

int main(int argc, char **argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();
    TarniBarApplication::Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tarnibar %s\n", TARNI_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--background") == 0)
            options.background = true;
        else if (std::strcmp(argv[i], "--exit-after-first-paint") == 0)
            options.exitAfterFirstPaint = true;
    }

    // On Wayland the sidebar docks only as an X11 client, and Qt reads the
    // platform once, when the application object is built.
    prepareDisplayPlatform();
    QApplication app(argc, argv);
    forgetChosenPlatform();
    QApplication::setApplicationName(QStringLiteral("tarnibar"));
    QApplication::setApplicationVersion(QStringLiteral(TARNI_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tarni.bar"));
    // The installed icon, for window managers and task bars; an unpacked
    // tarball's own copy when no icon theme knows it (a build directory has
    // neither).
    const QString bundledIcon =
        QApplication::applicationDirPath() + QStringLiteral("/../share/icons/hicolor/scalable/apps/com.tarni.bar.svg");
    QGuiApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral("com.tarni.bar"), QFile::exists(bundledIcon) ? QIcon(bundledIcon) : QIcon()));
    // The sidebar is closed and shown again; only the Quit paths end the run.
    QApplication::setQuitOnLastWindowClosed(false);

    int code = 0;
    {
        TarniBarApplication tarnibar(options, sinceStart);
        const int started = tarnibar.start();
        if (started == TarniBarApplication::kAlreadyRunning)
            return 0;
        if (started != TarniBarApplication::kStarted)
            return started;
        code = QApplication::exec();
    }
    return code;
}

// tarnibar-screenshot FILE.png
// Writes a picture of the whole primary screen of $DISPLAY to FILE.png.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() != 2 || arguments[1].startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "usage: tarnibar-screenshot FILE.png\n");
        return 64;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    const QImage image = screen ? screen->grabWindow(0).toImage() : QImage();
    if (image.isNull() || !image.save(arguments[1], "PNG")) {
        std::fprintf(stderr, "tarnibar-screenshot: cannot grab the screen into %s\n", qPrintable(arguments[1]));
        return 1;
    }
    return 0;
}

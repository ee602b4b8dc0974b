// A native window that asks to be maximised and prints every size the
// compositor gives it ("size W H", logical pixels). On Wayland a client never
// learns its position; a maximised window fills the work area, so its size
// shows what the compositor keeps free.
//
// Given a file, it is a viewer instead: a normal 500x350 window titled with
// the file's name, as an application opening that file shows it.
#include <QFileInfo>
#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>
#include <QResizeEvent>
#include <QTimer>

#include <cstdio>

namespace {

class ProbeWindow : public QRasterWindow {
protected:
    void resizeEvent(QResizeEvent *event) override
    {
        std::printf("size %d %d\n", event->size().width(), event->size().height());
        std::fflush(stdout);
    }
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(QRect(QPoint(), size()), Qt::darkCyan); }
};

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    ProbeWindow window;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (!arguments.isEmpty()) {
        window.setTitle(QFileInfo(arguments.first()).fileName() + QStringLiteral(" - probe viewer"));
        window.resize(500, 350);
        window.show();
    } else {
        window.setTitle(QStringLiteral("maximized probe"));
        window.resize(400, 300);
        window.showMaximized();
    }
    // Never outlives a test that lost track of it.
    QTimer::singleShot(50000, &app, &QCoreApplication::quit);
    return QGuiApplication::exec();
}

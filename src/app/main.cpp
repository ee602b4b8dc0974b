// Placeholder start-up until the application shell exists: the real
// composition, the sidebar content in a plain window, launch.
#include "app/AppEnvironment.h"
#include "app/Resources.h"
#include "gui/SidebarRootView.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

using namespace tarni;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    PlatformServices platform;
    platform.executable = QCoreApplication::applicationFilePath().toStdString();
    auto env = AppEnvironment::create(UITestConfig::current(), std::move(platform));
    if (!env) {
        std::fprintf(stderr, "%s\n", qPrintable(env.error().description));
        return 2;
    }
    SidebarRootView view((*env)->appModel());
    view.resize(360, 800);
    view.show();
    QTimer::singleShot(0, [&] { (*env)->appModel().launch(); });
    return app.exec();
}

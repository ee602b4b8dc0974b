// The application core without any window, as the end-to-end tests start it:
// the composition the switches of the process select, launched, then the
// commands named on the command line, in order, one after another:
//   HeadlessAppCore [switches] [--run COMMAND[=ARGUMENT]]...
// Exits 0 once every command has finished, 2 when the core cannot start, 3 on
// an unknown command.

#include "app/AppEnvironment.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

using namespace tarni;

namespace {

std::optional<QUuid> nodeTitled(const AppModel &model, const QString &title)
{
    for (const WorkspaceNode &node : model.treeViewModel().nodes())
        if (node.title() == title)
            return node.id();
    return std::nullopt;
}

QCoro::Task<bool> run(AppModel &model, const QString &command)
{
    const QString name = command.section(QLatin1Char('='), 0, 0);
    const QString argument = command.section(QLatin1Char('='), 1);
    if (name == QLatin1String("select"))
        model.selectNodeWithoutOpening(nodeTitled(model, argument));
    else if (name == QLatin1String("addGroup"))
        model.addGroup();
    else if (name == QLatin1String("addWebLink"))
        model.addWebLink(argument);
    else if (name == QLatin1String("open"))
        co_await model.openSelectedNode();
    else if (name == QLatin1String("reveal"))
        co_await model.revealSelectedInFinder();
    else if (name == QLatin1String("captureTab"))
        co_await model.captureCurrentChromeTab();
    else if (name == QLatin1String("captureWindow"))
        co_await model.captureCurrentChromeWindow();
    else if (name == QLatin1String("export"))
        model.exportSelectedSubtree();
    else if (name == QLatin1String("saveSnapshot"))
        model.saveSnapshotOfWorkspace();
    else if (name == QLatin1String("restoreLatestSnapshot"))
        model.restoreLatestSnapshot();
    else if (name == QLatin1String("setLanguage") && appLanguageFromRawValue(argument))
        model.setLanguage(*appLanguageFromRawValue(argument));
    else
        co_return false;
    co_return true;
}

QCoro::Task<> launchAndRun(AppModel &model, QStringList commands)
{
    co_await model.launch();
    for (const QString &command : commands) {
        if (!co_await run(model, command)) {
            std::fprintf(stderr, "unknown command: %s\n", qPrintable(command));
            QCoreApplication::exit(3);
            co_return;
        }
    }
    QCoreApplication::exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList commands;
    const QStringList arguments = QCoreApplication::arguments();
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i)
        if (arguments[i] == QLatin1String("--run"))
            commands << arguments[++i];

    PlatformServices platform;
    platform.executable = QCoreApplication::applicationFilePath().toStdString();
    auto env = AppEnvironment::create(UITestConfig::current(), std::move(platform));
    if (!env) {
        std::fprintf(stderr, "%s\n", qPrintable(env.error().description));
        return 2;
    }
    QTimer::singleShot(0, [&] { launchAndRun((*env)->appModel(), commands); });
    return app.exec();
}

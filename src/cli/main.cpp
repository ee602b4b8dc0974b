#include "CliCommand.h"

#include "common/DataRoot.h"

#include <QCoreApplication>
#include <QLoggingCategory>

using namespace tarni;
using namespace tarni::cli;

static QString helpText()
{
    QString text = QStringLiteral(
        "usage: tarnibar-cli [--root DIR] COMMAND [ARGUMENTS]\n"
        "\n"
        "Reads and edits a TarniBar workspace without the application.\n"
        "\n"
        "Options:\n"
        "  --root DIR   the data root (default: $TARNI_UITEST_ROOT, else $XDG_DATA_HOME/TarniBar)\n"
        "  --help       show this text\n"
        "  --version    show the version\n"
        "\n"
        "Commands:\n");
    for (const CliCommand *command : allCommands()) {
        QString head = QString::fromUtf8(command->name);
        if (*command->usage)
            head += QLatin1Char(' ') + QString::fromUtf8(command->usage);
        text += QStringLiteral("  %1\n      %2\n").arg(head, QString::fromUtf8(command->summary));
    }
    text += QStringLiteral(
        "\n"
        "Exit codes:\n"
        "  0  success\n"
        "  1  some records do not decode (each is named on standard error)\n"
        "  2  usage error\n"
        "  3  the data root does not exist\n"
        "  4  the data root has no workspace database\n"
        "  5  the database stayed locked by another program, or another tarnibar-cli command kept\n"
        "     changing the workspace for over 10 s\n"
        "  6  the database is damaged (not a database, or the integrity check failed)\n"
        "  7  any other failure\n"
        "  8  TarniBar is running but did not take a change over the session bus\n"
        "  9  update check: nothing newer is offered\n"
        "  10 update check: the newest release was refused (the cause on standard error)\n"
        "\n"
        "While TarniBar runs on the data root, the commands that change the workspace are\n"
        "carried out by it over the session bus (docs/dbus.md), with the same output.\n");
    return text;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnibar-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNI_VERSION));
    // Every failure is reported once, in the tool's own words.
    QLoggingCategory::setFilterRules(QStringLiteral("tarnibar.*.warning=false"));

    QStringList arguments = QCoreApplication::arguments().mid(1);
    CliContext context;
    context.root = dataRoot();

    while (!arguments.isEmpty() && arguments.first().startsWith(QLatin1String("--"))) {
        const QString option = arguments.takeFirst();
        if (option == QLatin1String("--help")) {
            printOut(helpText());
            return kExitOk;
        }
        if (option == QLatin1String("--version")) {
            printOut(QStringLiteral("tarnibar-cli %1\n").arg(QCoreApplication::applicationVersion()));
            return kExitOk;
        }
        if (option == QLatin1String("--root")) {
            if (arguments.isEmpty() || arguments.first().isEmpty()) {
                printError(QStringLiteral("--root needs a directory"));
                return kExitUsage;
            }
            context.root = std::filesystem::absolute(arguments.takeFirst().toStdString()).lexically_normal();
            continue;
        }
        printError(QStringLiteral("unknown option %1 (see --help)").arg(option));
        return kExitUsage;
    }
    if (arguments.isEmpty()) {
        printError(QStringLiteral("no command given (see --help)"));
        return kExitUsage;
    }
    const QString name = arguments.takeFirst();
    const CliCommand *command = findCommand(name);
    if (!command) {
        printError(QStringLiteral("unknown command \"%1\" (see --help)").arg(name));
        return kExitUsage;
    }
    return command->run(context, arguments);
}

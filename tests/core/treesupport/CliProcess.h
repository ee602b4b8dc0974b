#pragma once

// Runs tarnibar-cli as a separate process; the target that includes this
// defines TARNIBAR_CLI_PATH.

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <unistd.h>

namespace tarni::testing {

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

enum class CliUser { me, withoutWriteAccess };

// `extraEnv` holds "NAME=value" entries, overriding.
inline CliRun runCli(const QStringList &arguments, const QStringList &extraEnv = {}, int timeoutMs = 60000,
                     CliUser user = CliUser::me)
{
    QString program = QStringLiteral(TARNIBAR_CLI_PATH);
    QStringList programArguments = arguments;
    // Root may write anywhere: run as nobody to see what a user without
    // write access to the data root sees.
    if (user == CliUser::withoutWriteAccess && ::geteuid() == 0) {
        programArguments = QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                       QStringLiteral("--clear-groups"), QStringLiteral("--"), program} +
            arguments;
        program = QStringLiteral("setpriv");
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("TARNI_UITEST_ROOT"));
    for (const QString &entry : extraEnv)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, programArguments);
    EXPECT_TRUE(process.waitForFinished(timeoutMs)) << arguments.join(QLatin1Char(' ')).toStdString();
    CliRun run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

} // namespace tarni::testing

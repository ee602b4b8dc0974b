#include "platform/xdg/SessionBusServiceFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

const QString kExecutable = QStringLiteral("/opt/tarni/bin/tarnibar");

// The Exec value's words as a shell reads them, which is how the bus reads them.
QStringList shellWords(const QByteArray &exec)
{
    QProcess sh;
    sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("eval \"set -- $0\"; printf '%s\\n' \"$@\""),
                                         QString::fromUtf8(exec)});
    sh.waitForFinished(5000);
    return QString::fromUtf8(sh.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray execOf(const QByteArray &text)
{
    const qsizetype at = text.indexOf("\nExec=");
    return at < 0 ? QByteArray() : text.mid(at + 6, text.indexOf('\n', at + 6) - at - 6);
}

} // namespace

TEST(SessionBusServiceFile, ExecStartsTheExecutableInTheBackgroundWhateverItsPath)
{
    for (const QString &path : {kExecutable, QStringLiteral("/home/a user/it's \"here\"/$HOME/tarnibar")}) {
        const auto text = sessionBusServiceFileText(path);
        ASSERT_TRUE(text) << path.toStdString();
        EXPECT_TRUE(text->startsWith("[D-BUS Service]\nName=com.tarni.bar\nExec=")) << text->toStdString();
        EXPECT_EQ(shellWords(execOf(*text)), (QStringList{path, QStringLiteral("--background")})) << text->toStdString();
    }
    for (const char *path : {"tarnibar", "/opt/new\nline/tarnibar", "/opt/back\\slash/tarnibar"})
        EXPECT_FALSE(sessionBusServiceFileText(QString::fromUtf8(path))) << path;
}

TEST(SessionBusServiceFile, WrittenOnlyWhenMissingOrStaleAndNotBesideTheSystemsOwn)
{
    const QByteArray ours = *sessionBusServiceFileText(kExecutable);
    const QByteArray stale = *sessionBusServiceFileText(QStringLiteral("/old/tarnibar"));
    struct Case {
        const char *name;
        std::optional<QByteArray> user;
        std::optional<QByteArray> system;
        bool written;
    };
    const Case cases[] = {
        {"neither", std::nullopt, std::nullopt, true},
        {"the user's is stale", stale, std::nullopt, true},
        {"the user's is ours", ours, std::nullopt, false},
        {"the system's is ours", std::nullopt, ours, false},
        {"the system's is stale", std::nullopt, stale, true},
        // The user's comes first for the bus, so it must be right.
        {"the user's is stale, the system's ours", stale, ours, true},
    };
    for (const Case &c : cases) {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString home = dir.filePath(QStringLiteral("home"));
        const QString system = dir.filePath(QStringLiteral("system"));
        const QString userFile = home + QStringLiteral("/dbus-1/services/com.tarni.bar.service");
        for (const auto &[folder, text] : {std::pair{home, c.user}, std::pair{system, c.system}}) {
            if (!text)
                continue;
            QDir().mkpath(folder + QStringLiteral("/dbus-1/services"));
            QFile file(folder + QStringLiteral("/dbus-1/services/com.tarni.bar.service"));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(*text) == text->size());
        }
        const auto installed = installSessionBusServiceFile(kExecutable, home, {dir.filePath(QStringLiteral("none")), system});
        ASSERT_TRUE(installed) << c.name << ": " << installed.error().toStdString();
        EXPECT_EQ(*installed, c.written) << c.name;
        QFile file(userFile);
        const bool present = file.open(QIODevice::ReadOnly);
        EXPECT_EQ(present, c.written || c.user) << c.name;
        if (present) {
            EXPECT_EQ(file.readAll(), c.written ? ours : *c.user) << c.name;
        }
    }

    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("dbus-1")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    EXPECT_FALSE(installSessionBusServiceFile(kExecutable, dir.path(), {})) << "a file where the folder goes";
    EXPECT_FALSE(installSessionBusServiceFile(kExecutable, QString(), {})) << "no data folder";
}

#include "platform/xdg/SessionBusServiceFile.h"

#include "app/ApplicationBusNames.h"
#include "common/ApplicationLaunch.h"
#include "common/AtomicFile.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace tarni {

namespace {

// The bus reads Exec like a shell without expansions; single quotes keep
// every other character as it is.
QByteArray execWord(const QByteArray &word)
{
    const bool plain = !word.isEmpty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || QByteArray("/._+-").contains(c);
    });
    if (plain)
        return word;
    QByteArray quoted = word;
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    // A service file is a few lines; anything larger is not one of ours.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024)
        return {};
    return file.readAll();
}

} // namespace

std::optional<QByteArray> sessionBusServiceFileText(const QString &executable)
{
    const QByteArray path = QFile::encodeName(executable);
    // The file is read line by line, and its key-file escapes start with a backslash.
    if (!QDir::isAbsolutePath(executable) ||
        std::any_of(path.begin(), path.end(), [](char c) { return (c >= 0 && c < ' ') || c == '\\' || c == 127; }))
        return std::nullopt;
    return QByteArray("[D-BUS Service]\nName=") + bus::kServiceName + "\nExec=" + execWord(path) + ' ' +
        kBackgroundLaunchArgument + '\n';
}

Result<bool, QString> installSessionBusServiceFile(const QString &executable, const QString &dataHome,
                                                   const QStringList &dataDirs)
{
    const auto text = sessionBusServiceFileText(executable);
    if (!text)
        return Failure(QStringLiteral("the path %1 cannot be started by the session bus").arg(executable));
    if (!QDir::isAbsolutePath(dataHome))
        return Failure(QStringLiteral("there is no data folder for the user's service files"));
    const QString relative = QStringLiteral("/dbus-1/services/") + QLatin1String(kSessionBusServiceFileName);
    const QString own = dataHome + relative;
    if (QFile::exists(own)) {
        if (contentsOf(own) == *text)
            return false;
    } else {
        for (const QString &dir : dataDirs) {
            if (contentsOf(dir + relative) == *text)
                return false;
        }
    }
    std::error_code ec;
    const std::filesystem::path path(QFile::encodeName(own).toStdString());
    std::filesystem::create_directories(path.parent_path(), ec);
    std::string error;
    // Read by the bus daemon, which runs as the user: 0644 like the system's.
    if (ec || !writeFileAtomically(path, text->toStdString(), &error, 0644))
        return Failure(QStringLiteral("cannot write %1: %2")
                           .arg(own, ec ? QString::fromStdString(ec.message()) : QString::fromStdString(error)));
    return true;
}

} // namespace tarni

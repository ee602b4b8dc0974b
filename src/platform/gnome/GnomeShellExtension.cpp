#include "platform/gnome/GnomeShellExtension.h"

#include "app/Resources.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QStandardPaths>

#include <atomic>

Q_DECLARE_LOGGING_CATEGORY(lcGnomeShell)

namespace tarni {

namespace {

constexpr int kCallTimeoutMs = 2000;
constexpr qint64 kMaxFileSize = 1024 * 1024;
const char *const kExtensionFiles[] = {"metadata.json", "extension.js"};

std::optional<QByteArray> readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileSize)
        return std::nullopt;
    return file.readAll();
}

QString qtPath(const std::filesystem::path &path)
{
    return QString::fromStdString(path.string());
}

} // namespace

QString gnomeShellExtensionUuid()
{
    return QStringLiteral(TARNI_GNOME_SHELL_EXTENSION_UUID);
}

std::optional<int> gnomeShellMajorVersion(const QDBusConnection &bus)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("Get"));
    call << QStringLiteral("org.gnome.Shell") << QStringLiteral("ShellVersion");
    const QDBusMessage reply = QDBusConnection(bus).call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return std::nullopt;
    const QVariant version = reply.arguments().first().value<QDBusVariant>().variant();
    if (version.metaType() != QMetaType::fromType<QString>())
        return std::nullopt;
    bool ok = false;
    const int major = version.toString().section(QLatin1Char('.'), 0, 0).toInt(&ok);
    if (!ok || major < 3 || major > 999)
        return std::nullopt;
    return major;
}

std::optional<std::filesystem::path> bundledGnomeShellExtension(const std::filesystem::path &resources,
                                                                 int shellMajorVersion)
{
    // GNOME Shell 45 loads extensions as ES modules and no longer the older
    // scripts; 43 and 44 only the scripts.
    const char *form = shellMajorVersion >= 45 ? "modules" : "legacy";
    std::error_code ec;
    for (const std::filesystem::path &candidate :
         {resources / "gnome-shell-extension" / form,
          std::filesystem::path(TARNI_GNOME_SHELL_EXTENSION_BUILD_DIR) / form}) {
        if (std::filesystem::is_regular_file(candidate / "metadata.json", ec))
            return candidate.lexically_normal();
    }
    return std::nullopt;
}

bool installGnomeShellExtension(const std::filesystem::path &source, const std::filesystem::path &dataHome,
                                QString *error)
{
    const QString target = qtPath(dataHome / "gnome-shell" / "extensions") + QLatin1Char('/') + gnomeShellExtensionUuid();
    if (!QDir().mkpath(target)) {
        *error = QStringLiteral("cannot create %1").arg(target);
        return false;
    }
    for (const char *name : kExtensionFiles) {
        const std::optional<QByteArray> wanted = readSmallFile(qtPath(source / name));
        if (!wanted) {
            *error = QStringLiteral("cannot read %1").arg(qtPath(source / name));
            return false;
        }
        const QString path = target + QLatin1Char('/') + QLatin1String(name);
        if (readSmallFile(path) == wanted)
            continue;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(*wanted) != wanted->size() || !file.commit()) {
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
            return false;
        }
    }
    return true;
}

void ensureGnomeShellExtensionInstalled(const QDBusConnection &bus)
{
    // The facility is chosen again while no window waits to go back; the
    // copy needs writing once a run.
    static std::atomic<bool> installed{false};
    if (installed.load())
        return;
    const std::optional<int> shell = gnomeShellMajorVersion(bus);
    if (!shell)
        return;
    const std::optional<std::filesystem::path> source = bundledGnomeShellExtension(resourceDirectory(), *shell);
    if (!source) {
        qCWarning(lcGnomeShell) << "no build of the shell extension for GNOME Shell" << *shell;
        return;
    }
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    QString error;
    if (dataHome.isEmpty() || !installGnomeShellExtension(*source, dataHome.toStdString(), &error))
        qCWarning(lcGnomeShell) << "cannot install the shell extension:" << error;
    else
        installed.store(true);
}

} // namespace tarni

#include "ApplicationLink.h"

#include "app/ApplicationBusNames.h"
#include "common/InstanceLock.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace tarni::cli {

namespace {

// Long enough for an import of a large file into a large tree.
constexpr int kCallTimeoutMs = 120000;
constexpr int kLookTimeoutMs = 3000;

int refuse(const CliContext &context, const QString &reason)
{
    const auto holder = InstanceLock::currentHolder(context.root);
    const QString process =
        holder && holder->pid ? QStringLiteral(" (process %1)").arg(holder->pid) : QString();
    printError(QStringLiteral("TarniBar is running on \"%1\"%2 but cannot take the change over the session bus (%3); "
                              "quit it before changing the workspace from here")
                   .arg(QString::fromStdString(context.root.string()), process, reason));
    return kExitAppRunning;
}

int exitCodeFor(const QString &errorName)
{
    if (errorName == QLatin1String(bus::kErrorBusy))
        return kExitLocked;
    if (errorName == QLatin1String(bus::kErrorCorrupt))
        return kExitCorrupt;
    if (errorName == QLatin1String(bus::kErrorBadData))
        return kExitBadData;
    if (errorName == QLatin1String(bus::kErrorInvalidArgs))
        return kExitUsage;
    return kExitFailed;
}

} // namespace

int callApplication(const CliContext &context, const char *method, const QVariantList &arguments,
                    QVariantList *reply)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return refuse(context, QStringLiteral("no session bus"));
    const QString service = bus::serviceNameForDataRoot(context.root);
    const QString path = QString::fromLatin1(bus::kObjectPath);
    const QString interface = QString::fromLatin1(bus::kInterface);

    // The name is derived from the root; make sure the one answering agrees.
    const QDBusMessage root = bus.call(
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("DataRoot")), QDBus::Block,
        kLookTimeoutMs);
    if (root.type() != QDBusMessage::ReplyMessage)
        return refuse(context, root.errorMessage().isEmpty() ? root.errorName() : root.errorMessage());
    if (root.arguments().value(0).toString() != bus::canonicalDataRoot(context.root))
        return refuse(context, QStringLiteral("the application there serves \"%1\"")
                                   .arg(root.arguments().value(0).toString()));

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QString::fromLatin1(method));
    call.setArguments(arguments);
    const QDBusMessage answer = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (answer.type() == QDBusMessage::ReplyMessage) {
        if (reply)
            *reply = answer.arguments();
        return kExitOk;
    }
    if (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
        return refuse(context, QStringLiteral("it does not offer %1").arg(QString::fromLatin1(method)));
    if (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        printError(QStringLiteral("TarniBar did not answer within %1 s; the change may still be made")
                       .arg(kCallTimeoutMs / 1000));
        return kExitFailed;
    }
    printError(answer.errorMessage());
    return exitCodeFor(answer.errorName());
}

} // namespace tarni::cli

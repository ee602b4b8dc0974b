#include "platform/xdg/XdgExternalOpener.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QCoro/QCoroProcess>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>

namespace tarni {

namespace {

Q_LOGGING_CATEGORY(lcOpening, "tarnibar.opening")

const QString kFileManagerService = QStringLiteral("org.freedesktop.FileManager1");
const QString kFileManagerPath = QStringLiteral("/org/freedesktop/FileManager1");

} // namespace

XdgExternalOpener::XdgExternalOpener(Options options) : m_options(std::move(options)) {}

std::optional<QStringList> XdgExternalOpener::launcher(const AcceptedAddress &accepted) const
{
    // xdg-open has no "--" to end its options; an accepted address starts
    // with its scheme, and this stays true however it was made.
    const QString address = accepted.text();
    if (address.isEmpty() || address.startsWith(u'-')) {
        qCInfo(lcOpening) << "refusing an address that reads as an option:" << address;
        return std::nullopt;
    }
    const QStringList path =
        m_options.environment.value(QStringLiteral("PATH")).split(QDir::listSeparator(), Qt::SkipEmptyParts);
    const QString program = QStandardPaths::findExecutable(m_options.program, path);
    if (program.isEmpty()) {
        qCInfo(lcOpening) << "no" << m_options.program << "on the PATH";
        return std::nullopt;
    }
    return QStringList{program, address};
}

void XdgExternalOpener::prepare(QProcess &process, const QStringList &launcher) const
{
    process.setProgram(launcher[0]);
    process.setArguments({launcher[1]});
    process.setProcessEnvironment(m_options.environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
}

bool XdgExternalOpener::open(const AcceptedAddress &address)
{
    const auto command = launcher(address);
    if (!command)
        return false;
    QProcess process;
    prepare(process, *command);
    return process.startDetached();
}

QCoro::Task<bool> XdgExternalOpener::reveal(QUrl fileURL)
{
    if (!fileURL.isLocalFile())
        co_return false;
    const QString path = fileURL.toLocalFile();

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(kFileManagerService, kFileManagerPath, kFileManagerService,
                                                           QStringLiteral("ShowItems"));
        call << QStringList{fileURL.toString(QUrl::FullyEncoded)} << QString();
        // Whether a file manager owns the name is not asked first: the bus
        // may start one on demand, and the call's error says the same.
        QDBusPendingCall pending = bus.asyncCall(call, m_options.revealTimeoutMs);
        const QDBusMessage reply = co_await pending;
        if (reply.type() == QDBusMessage::ReplyMessage)
            co_return true;
        qCInfo(lcOpening) << "no file manager selected the item:" << reply.errorName() << reply.errorMessage();
    }
    const auto folder = EntryRules::fileAddress(QFileInfo(path).absolutePath());
    if (!folder)
        co_return false;
    const auto command = launcher(*folder);
    if (!command)
        co_return false;
    // Watched for a while rather than detached: xdg-open that finds nothing
    // to open the folder with exits at once with an error. Still running
    // after the wait, it is running the application that shows the folder,
    // and is left to it (parented to the application, not to this task).
    QPointer<QProcess> process = new QProcess(QCoreApplication::instance());
    prepare(*process, *command);
    process->start();
    const bool finished = co_await qCoro(process.data()).waitForFinished(m_options.revealTimeoutMs);
    if (!process)
        co_return false; // the application is quitting
    if (!finished && process->state() != QProcess::NotRunning) {
        QObject::connect(process.data(), &QProcess::finished, process.data(), &QObject::deleteLater);
        co_return true;
    }
    const bool opened = process->error() == QProcess::UnknownError && process->exitStatus() == QProcess::NormalExit &&
                        process->exitCode() == 0;
    if (!opened)
        qCInfo(lcOpening) << m_options.program << "could not open" << folder->text() << process->exitCode()
                          << process->errorString();
    process->deleteLater();
    co_return opened;
}

} // namespace tarni

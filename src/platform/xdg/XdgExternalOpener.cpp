#include "platform/xdg/XdgExternalOpener.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

namespace tarni {

namespace {

Q_LOGGING_CATEGORY(lcOpening, "tarnibar.opening")

const QString kFileManagerService = QStringLiteral("org.freedesktop.FileManager1");
const QString kFileManagerPath = QStringLiteral("/org/freedesktop/FileManager1");

} // namespace

XdgExternalOpener::XdgExternalOpener(Options options) : m_options(std::move(options)) {}

bool XdgExternalOpener::open(const AcceptedAddress &accepted)
{
    // xdg-open has no "--" to end its options; an accepted address starts
    // with its scheme, and this stays true however it was made.
    const QString address = accepted.text();
    if (address.isEmpty() || address.startsWith(u'-')) {
        qCInfo(lcOpening) << "refusing an address that reads as an option:" << address;
        return false;
    }
    const QStringList path =
        m_options.environment.value(QStringLiteral("PATH")).split(QDir::listSeparator(), Qt::SkipEmptyParts);
    const QString program = QStandardPaths::findExecutable(m_options.program, path);
    if (program.isEmpty()) {
        qCInfo(lcOpening) << "no" << m_options.program << "on the PATH";
        return false;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments({address});
    process.setProcessEnvironment(m_options.environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
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
    co_return folder && open(*folder);
}

} // namespace tarni

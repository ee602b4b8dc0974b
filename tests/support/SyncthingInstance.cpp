#include "SyncthingInstance.h"

#include "TaskSupport.h"

#include "platform/syncthing/SyncthingLink.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>

#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarni::test {

namespace {

QProcessEnvironment environmentFor(const QString &home)
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH", QStringLiteral("/usr/bin:/bin")));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("STNODEFAULTFOLDER"), QStringLiteral("1"));
    env.insert(QStringLiteral("STNOUPGRADE"), QStringLiteral("1"));
    env.insert(QStringLiteral("STNORESTART"), QStringLiteral("1"));
    // Runs it without the monitor process that would otherwise be its
    // parent, so that the process the test holds is Syncthing itself.
    env.insert(QStringLiteral("STMONITORED"), QStringLiteral("1"));
    // Skips the hashing benchmark at start, about a second.
    env.insert(QStringLiteral("STHASHING"), QStringLiteral("standard"));
    return env;
}

// Runs `syncthing ARGS` to its end; its standard output, or nothing.
std::optional<QByteArray> runSyncthing(const QString &home, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessEnvironment(environmentFor(home));
    process.start(QStringLiteral("syncthing"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = QStringLiteral("syncthing %1 failed: %2 %3")
                     .arg(arguments.join(QLatin1Char(' ')), process.errorString(),
                          QString::fromUtf8(process.readAllStandardError()));
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

} // namespace

QList<quint16> freeLoopbackPorts(int count)
{
    QList<quint16> ports;
    QList<int> sockets;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return {};
        // Held open until all are chosen, so that none comes twice.
        sockets << fd;
        ports << ntohs(address.sin_port);
    }
    for (const int fd : std::as_const(sockets))
        ::close(fd);
    return ports;
}

std::unique_ptr<SyncthingInstance> SyncthingInstance::create(const QString &home, const QString &name, QString *error)
{
    std::unique_ptr<SyncthingInstance> instance(new SyncthingInstance);
    instance->m_home = QDir::cleanPath(home);
    instance->m_name = name;
    if (!QDir().mkpath(home)) {
        *error = QStringLiteral("cannot make ") + home;
        return nullptr;
    }
    if (!runSyncthing(home, {QStringLiteral("generate"), QStringLiteral("--home=") + home, QStringLiteral("--no-default-folder"),
                              QStringLiteral("--skip-port-probing")},
                      error))
        return nullptr;
    const auto id = runSyncthing(home, {QStringLiteral("serve"), QStringLiteral("--home=") + home, QStringLiteral("--device-id")}, error);
    if (!id)
        return nullptr;
    instance->m_deviceId = QString::fromLatin1(id->trimmed());
    const QList<quint16> ports = freeLoopbackPorts(2);
    if (ports.size() != 2) {
        *error = QStringLiteral("no free loopback ports");
        return nullptr;
    }
    instance->m_guiPort = ports[0];
    instance->m_listenPort = ports[1];
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 32; ++i)
        instance->m_apiKey += alphabet[QRandomGenerator::system()->bounded(int(sizeof alphabet) - 1)];
    if (!instance->configure({}, {}, error))
        return nullptr;
    return instance;
}

SyncthingInstance::~SyncthingInstance()
{
    stop();
}

QString SyncthingInstance::configPath() const
{
    return QDir(m_home).filePath(QStringLiteral("config.xml"));
}

bool SyncthingInstance::configure(const QList<Peer> &peers, const QList<Folder> &folders, QString *error)
{
    const QByteArray self = escaped(m_deviceId);
    QByteArray xml = "<configuration version=\"36\">\n";
    xml += "  <device id=\"" + self + "\" name=\"" + escaped(m_name) + "\"><address>dynamic</address></device>\n";
    for (const Peer &peer : peers)
        xml += "  <device id=\"" + escaped(peer.deviceId) + "\" name=\"peer\"><address>tcp://127.0.0.1:" +
               QByteArray::number(peer.port) + "</address></device>\n";
    for (const Folder &folder : folders) {
        xml += "  <folder id=\"" + escaped(folder.id) + "\" label=\"TarniBar\" path=\"" + escaped(folder.path) +
               "\" type=\"sendreceive\" rescanIntervalS=\"" + QByteArray::number(folder.rescanIntervalS) +
               "\" fsWatcherEnabled=\"true\" fsWatcherDelayS=\"" + QByteArray::number(folder.watchDelayS) + "\">\n";
        xml += "    <device id=\"" + self + "\"></device>\n";
        for (const QString &peer : folder.peerDeviceIds)
            xml += "    <device id=\"" + escaped(peer) + "\"></device>\n";
        xml += "  </folder>\n";
    }
    xml += "  <gui enabled=\"true\" tls=\"false\">\n    <address>127.0.0.1:" + QByteArray::number(m_guiPort) +
           "</address>\n    <apikey>" + m_apiKey + "</apikey>\n  </gui>\n";
    xml += "  <options>\n"
           "    <listenAddress>tcp://127.0.0.1:" + QByteArray::number(m_listenPort) + "</listenAddress>\n"
           "    <globalAnnounceEnabled>false</globalAnnounceEnabled>\n"
           "    <localAnnounceEnabled>false</localAnnounceEnabled>\n"
           "    <relaysEnabled>false</relaysEnabled>\n"
           "    <natEnabled>false</natEnabled>\n"
           "    <stunKeepaliveStartS>0</stunKeepaliveStartS>\n"
           "    <urAccepted>-1</urAccepted>\n"
           "    <crashReportingEnabled>false</crashReportingEnabled>\n"
           "    <autoUpgradeIntervalH>0</autoUpgradeIntervalH>\n"
           "    <startBrowser>false</startBrowser>\n"
           "    <reconnectionIntervalS>2</reconnectionIntervalS>\n"
           "  </options>\n"
           "</configuration>\n";
    QSaveFile file(configPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size() || !file.commit()) {
        *error = QStringLiteral("cannot write ") + configPath();
        return false;
    }
    return true;
}

bool SyncthingInstance::start(QString *error, std::chrono::milliseconds deadline)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(environmentFor(m_home));
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(QDir(m_home).filePath(QStringLiteral("syncthing.log")), QIODevice::Append);
    // Gone with the test, however the test ends.
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process->start(QStringLiteral("syncthing"), {QStringLiteral("serve"), QStringLiteral("--home=") + m_home,
                                                   QStringLiteral("--no-browser"), QStringLiteral("--no-restart")});
    if (!m_process->waitForStarted(10000)) {
        *error = QStringLiteral("syncthing did not start: ") + m_process->errorString();
        stop();
        return false;
    }
    SyncthingLink::Options options;
    options.home = m_home;
    options.timeout = std::chrono::seconds(2);
    SyncthingLink link(options);
    const QDeadlineTimer timer(deadline);
    for (;;) {
        const auto pong = runTask(link.ping());
        if (pong)
            return true;
        if (m_process->state() != QProcess::Running || timer.hasExpired()) {
            *error = QStringLiteral("syncthing %1 does not answer: %2\n%3").arg(m_name, pong.error().text(), log());
            stop();
            return false;
        }
        QThread::msleep(50);
    }
}

void SyncthingInstance::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(-1);
        }
    }
    m_process.reset();
}

QString SyncthingInstance::log() const
{
    QFile file(QDir(m_home).filePath(QStringLiteral("syncthing.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace tarni::test

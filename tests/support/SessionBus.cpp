#include "SessionBus.h"

#include <QElapsedTimer>
#include <QFile>

namespace tarni::test {

SessionBus::SessionBus(const Options &options)
{
    QString config = QStringLiteral("--session");
    if (!options.serviceDirectories.isEmpty()) {
        // The session configuration, with our directories instead of the user's.
        QString text = QStringLiteral(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>\n");
        for (const QString &dir : options.serviceDirectories)
            text += QStringLiteral("<servicedir>%1</servicedir>\n").arg(dir.toHtmlEscaped());
        text += QStringLiteral("<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        QFile file(m_configDir.filePath(QStringLiteral("session.conf")));
        if (!m_configDir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) {
            m_error = QStringLiteral("cannot write the bus configuration");
            return;
        }
        config = QStringLiteral("--config-file=") + file.fileName();
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : options.environment)
        environment.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    m_daemon.setProcessEnvironment(environment);
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {config, QStringLiteral("--nofork"), QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start dbus-daemon: %1").arg(m_daemon.errorString());
        return;
    }
    QElapsedTimer timer;
    timer.start();
    while (!m_daemon.canReadLine() && timer.elapsed() < 5000)
        m_daemon.waitForReadyRead(100);
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty())
        m_error = QStringLiteral("dbus-daemon gave no address: %1")
                      .arg(QString::fromUtf8(m_daemon.readAllStandardError()));
}

SessionBus::~SessionBus()
{
    if (m_daemon.state() == QProcess::NotRunning)
        return;
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(3000)) {
        m_daemon.kill();
        m_daemon.waitForFinished(3000);
    }
}

void SessionBus::exportAddress() const
{
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
}

} // namespace tarni::test

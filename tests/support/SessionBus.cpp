#include "SessionBus.h"

#include <QElapsedTimer>

namespace tarni::test {

SessionBus::SessionBus()
{
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                    QStringLiteral("--print-address=1")});
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

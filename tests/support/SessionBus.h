#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace tarni::test {

// A private session bus: a `dbus-daemon --session` of our own, stopped with
// this object. Programs under test reach it through address() given as
// DBUS_SESSION_BUS_ADDRESS.
class SessionBus {
public:
    struct Options {
        // Where the bus finds the service files it starts programs from
        // (none: it starts nothing).
        QStringList serviceDirectories;
        // "NAME=value" entries added to the daemon's environment, which the
        // programs it starts inherit.
        QStringList environment;
    };

    SessionBus() : SessionBus(Options{}) {}
    explicit SessionBus(const Options &options);
    ~SessionBus();
    SessionBus(const SessionBus &) = delete;
    SessionBus &operator=(const SessionBus &) = delete;

    // Empty when the daemon did not start (error() says why).
    const QString &address() const { return m_address; }
    const QString &error() const { return m_error; }

    // Points this process's session bus at the private one; call before
    // anything in the process first touches QDBusConnection::sessionBus().
    void exportAddress() const;

private:
    QTemporaryDir m_configDir;
    QProcess m_daemon;
    QString m_address;
    QString m_error;
};

} // namespace tarni::test

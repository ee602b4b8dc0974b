#pragma once

// One Syncthing started by a test: its own home (keys, config, database)
// and its web interface and sync listener on loopback ports of their own.
// Its config turns off everything that reaches out (global and local
// discovery, relays, NAT, STUN, usage and crash reports, upgrades), and
// no default folder is made. It is stopped, and killed if it will not
// stop, when the object goes, and killed by the kernel if the test dies.

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

namespace tarni::test {

class SyncthingInstance {
public:
    struct Peer {
        QString deviceId;
        quint16 port = 0; // its sync listener on 127.0.0.1
    };
    struct Folder {
        QString id;
        QString path;
        // Besides this instance's own.
        QStringList peerDeviceIds;
        // Watched for changes, which are scanned after this delay, and
        // rescanned in full this often.
        int watchDelayS = 1;
        int rescanIntervalS = 3;
    };

    // Makes the keys and the config below `home`; does not start it.
    static std::unique_ptr<SyncthingInstance> create(const QString &home, const QString &name, QString *error);
    ~SyncthingInstance();
    SyncthingInstance(const SyncthingInstance &) = delete;
    SyncthingInstance &operator=(const SyncthingInstance &) = delete;

    // Rewrites the config (while stopped) with these peers and folders.
    bool configure(const QList<Peer> &peers, const QList<Folder> &folders, QString *error);
    // Starts it and waits until it answers a ping with its API key.
    bool start(QString *error, std::chrono::milliseconds deadline = std::chrono::seconds(30));
    void stop();

    QString home() const { return m_home; }
    QString configPath() const;
    QString deviceId() const { return m_deviceId; }
    QByteArray apiKey() const { return m_apiKey; }
    quint16 guiPort() const { return m_guiPort; }
    quint16 listenPort() const { return m_listenPort; }
    // Its output so far, for failure messages.
    QString log() const;

private:
    SyncthingInstance() = default;

    QString m_home;
    QString m_name;
    QString m_deviceId;
    QByteArray m_apiKey;
    quint16 m_guiPort = 0;
    quint16 m_listenPort = 0;
    std::unique_ptr<QProcess> m_process;
};

// Ports on 127.0.0.1 that nothing listens on, distinct from each other.
QList<quint16> freeLoopbackPorts(int count);

} // namespace tarni::test

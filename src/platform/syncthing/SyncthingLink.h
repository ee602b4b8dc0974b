#pragma once

#include "platform/syncthing/SyncthingConfig.h"
#include "platform/syncthing/SyncthingError.h"

#include <QCoro/QCoroTask>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

namespace tarni {

struct SyncthingFolder {
    QString id;
    QString label;
    // As Syncthing keeps it: may begin with "~".
    QString path;
    QString type;

    bool operator==(const SyncthingFolder &) const = default;
};

struct SyncthingStatus {
    // A syncthing program on the PATH.
    bool installed = false;
    // Empty: no config.xml was found.
    QString configPath;
    // It answered with the API key from its config.
    bool running = false;
    // Its own device id, when running.
    QString deviceId;
    // Why it is not running or cannot be used.
    std::optional<SyncthingError> problem;
};

struct SyncthingFolderOutcome {
    enum class Kind {
        created,       // a new folder for the path
        alreadyShared, // a folder with that path existed
        insideShared,  // the path lies inside an existing folder, which already carries it
    };
    Kind kind = Kind::created;
    SyncthingFolder folder;
};

// The user's own Syncthing, through its REST API on loopback, with the API
// key from its config. The config is read again for every call, so a
// Syncthing set up or restarted after the link was made is found.
//
// Every call is asynchronous and ends within the timeout. The link owns its
// network access, without a proxy, so that the key never leaves the
// computer; redirects are not followed. The link must outlive its tasks.
class SyncthingLink final : public QObject {
    Q_OBJECT
public:
    struct Options {
        // Syncthing's home (the folder of its config.xml, as its --home);
        // empty: where Syncthing keeps it for the user of `environment`.
        QString home;
        // HOME, the XDG folders and the PATH the program is looked for on.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        std::chrono::milliseconds timeout = std::chrono::seconds(5);
    };

    // Answers larger than this are refused.
    static constexpr qint64 kMaxReplyBytes = 4 * 1024 * 1024;

    SyncthingLink() : SyncthingLink(Options{}) {}
    explicit SyncthingLink(Options options, QObject *parent = nullptr);
    ~SyncthingLink() override;

    // The address and key it would use now.
    SyncthingResult<SyncthingEndpoint> endpoint() const;

    // GET /rest/system/ping.
    QCoro::Task<SyncthingResult<void>> ping();
    // Whether it is installed, configured and running, and its device id.
    QCoro::Task<SyncthingStatus> status();
    // GET /rest/config/folders.
    QCoro::Task<SyncthingResult<QList<SyncthingFolder>>> folders();
    // A folder of type "sendreceive" for `path` (made if missing, private to
    // the user), unless one already has that path or holds it. A path
    // holding one of Syncthing's folders is refused: its files would be
    // carried twice.
    QCoro::Task<SyncthingResult<SyncthingFolderOutcome>> ensureFolder(QString path, QString label);
    // The JSON answer of any GET below /rest, with the same limits.
    QCoro::Task<SyncthingResult<QJsonValue>> get(QString path);

private:
    // The body of a 2xx answer.
    QCoro::Task<SyncthingResult<QByteArray>> send(QByteArray verb, QString path, QByteArray body);

    Options m_options;
    QNetworkAccessManager *m_network;
};

} // namespace tarni

#pragma once

#include "platform/syncthing/SyncthingError.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

namespace tarni {

// What the local Syncthing's config.xml says about its REST API.
struct SyncthingEndpoint {
    QString configPath;
    // Always a loopback http address.
    QUrl baseUrl;
    // A secret: never logged, shown or passed on a command line.
    QByteArray apiKey;
};

// The config is another program's file: one larger than this is refused.
inline constexpr qint64 kMaxSyncthingConfigBytes = 4 * 1024 * 1024;

// Syncthing's config.xml: in `home` when given (its --home), otherwise the
// first that exists of $XDG_STATE_HOME/syncthing, ~/.local/state/syncthing,
// $XDG_CONFIG_HOME/syncthing and ~/.config/syncthing. Empty when there is none.
QString findSyncthingConfig(const QProcessEnvironment &environment, const QString &home = {});

// The address and API key of Syncthing's web interface from its config.xml.
// Only a loopback address is accepted ("0.0.0.0" and "::" are reached on
// loopback, as Syncthing itself does); HTTPS and Unix sockets are refused as
// unsupported.
SyncthingResult<SyncthingEndpoint> readSyncthingConfig(const QString &path);
// The same for the file's contents; `path` is for the texts.
SyncthingResult<SyncthingEndpoint> parseSyncthingConfig(const QByteArray &data, const QString &path);

} // namespace tarni

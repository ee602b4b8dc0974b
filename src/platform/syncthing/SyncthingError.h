#pragma once

#include "util/Localized.h"
#include "util/Result.h"

#include <QString>
#include <QStringList>

namespace tarni {

// Why the local Syncthing could not be used: the kind, for the caller's
// decisions, and a looked-up text with its values, for the user. No text
// ever holds the API key.
struct SyncthingError {
    enum class Kind {
        noConfig,           // no config.xml where Syncthing keeps it
        badConfig,          // unreadable, too large, not Syncthing's, or without an API key
        unsupportedAddress, // its web interface is off, elsewhere, HTTPS or a Unix socket
        notRunning,         // nothing answers at its address
        unauthorized,       // it refused the API key
        timedOut,
        badResponse,        // an answer too large or not the JSON expected
        refused,            // it answered the request with an HTTP error
        network,            // any other failure to talk to it
        folderOverlap,      // the folder asked for holds one of Syncthing's folders
        localFolder,        // the folder asked for could not be made
    };
    Kind kind = Kind::network;
    const char *key = "";
    QStringList values;

    QString text() const { return formatted(localized(key), values); }
};

template <class T>
using SyncthingResult = Result<T, SyncthingError>;

} // namespace tarni

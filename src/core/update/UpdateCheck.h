#pragma once

#include "update/Appcast.h"
#include "update/UpdateConfiguration.h"
#include "update/UpdateProblem.h"

#include <QCoro/QCoroTask>
#include <QTemporaryFile>

#include <functional>
#include <memory>

class QNetworkAccessManager;

namespace tarni {

// How the running copy was installed; it decides which of a release's
// packages we take and how we install it.
enum class InstallKind {
    none,          // a build directory: verify only
    tarball,       // a per-user bundle unpacked somewhere
    debianPackage, // installed under /usr by the package manager
};

// The largest feed and package we fetch, whatever the feed says.
inline constexpr qint64 kMaxFeedBytes = 4 * 1024 * 1024;
inline constexpr qint64 kMaxPackageBytes = qint64(1) << 30;

struct UpdateCheckRequest {
    UpdateConfiguration configuration;
    QString currentVersion;
    InstallKind kind = InstallKind::none;
    // Where the private temporary file goes; empty: the system's.
    QString downloadDirectory;
    std::function<void(const AppcastItem &)> found;
    std::function<void(qint64 received, qint64 total)> progress;
};

struct UpdateCheckResult {
    enum class Outcome { upToDate, verified, refused, failed };
    Outcome outcome = Outcome::failed;
    AppcastItem item;
    AppcastEnclosure enclosure;
    // The downloaded package, verified; removed when the last holder lets go.
    std::shared_ptr<QTemporaryFile> file;
    UpdateProblem problem;
};

// Whether a URL may be fetched: https always; http only from a loopback
// host or when the build's own feed is http.
bool isAllowedUpdateURL(const QUrl &url, const UpdateConfiguration &configuration);

// The package of the item that fits the installation (by the URL's file
// name); for InstallKind::none the first one.
std::optional<AppcastEnclosure> enclosureFor(const AppcastItem &item, InstallKind kind);

// Fetches the feed, picks the newest release, and when it is newer than the
// running version downloads its package for `kind` and checks its length
// and signature. Nothing is installed here. Redirects are followed only
// within the same scheme; every refusal names its cause.
QCoro::Task<UpdateCheckResult> checkForUpdate(QNetworkAccessManager &network, UpdateCheckRequest request);

} // namespace tarni

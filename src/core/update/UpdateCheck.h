#pragma once

#include "update/Appcast.h"
#include "update/UpdateConfiguration.h"
#include "update/UpdateProblem.h"

#include <QCoro/QCoroTask>
#include <QTemporaryFile>

#include <chrono>
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
// How long a whole check (feed and download) may take before it gives up.
inline constexpr std::chrono::milliseconds kUpdateCheckDeadline = std::chrono::minutes(30);

struct UpdateCheckRequest {
    UpdateConfiguration configuration;
    QString currentVersion;
    InstallKind kind = InstallKind::none;
    // Where the private temporary file goes; empty: the system's.
    QString downloadDirectory;
    // Whether the build's own feed is plain http, which lets any http
    // address through; a feed given on the command line does not count.
    bool plainHttpAllowed = false;
    std::chrono::milliseconds deadline = kUpdateCheckDeadline;
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
// host or when `plainHttpAllowed` (the build's own feed is http).
bool isAllowedUpdateURL(const QUrl &url, bool plainHttpAllowed);

// The package of the item that fits the installation (by the URL's file
// name); for InstallKind::none the first one.
std::optional<AppcastEnclosure> enclosureFor(const AppcastItem &item, InstallKind kind);

// Fetches the feed, picks the newest release, and when it is newer than the
// running version downloads its package for `kind` and checks its length
// and signature. Nothing is installed here. Redirects are followed only
// within the same scheme; every refusal names its cause. A feed offering
// only older releases is "up to date". Past the request's deadline the
// check fails as timed out.
QCoro::Task<UpdateCheckResult> checkForUpdate(QNetworkAccessManager &network, UpdateCheckRequest request);

} // namespace tarni

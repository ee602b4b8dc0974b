#include "update/Updater.h"

#include "update/TarballInstaller.h"

#include <QDateTime>
#include <QDir>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSettings>

namespace tarni {

Q_LOGGING_CATEGORY(lcUpdate, "tarnibar.update")

namespace fs = std::filesystem;

namespace {

QString megabytes(qint64 bytes)
{
    return QStringLiteral("%1 MB").arg(double(bytes) / 1e6, 0, 'f', 1);
}

} // namespace

Updater::Updater(Options options, QObject *parent)
    : QObject(parent), m_options(std::move(options)), m_network(new QNetworkAccessManager(this))
{
    m_poll.setInterval(m_options.pollInterval);
    connect(&m_poll, &QTimer::timeout, this, &Updater::pollAutomatic);
}

Updater::~Updater() = default;

void Updater::start()
{
    if (m_started)
        return;
    m_started = true;
    m_poll.start();
    QTimer::singleShot(m_options.firstCheckDelay, this, &Updater::pollAutomatic);
}

void Updater::setAutomaticallyChecksForUpdates(bool enabled)
{
    m_automatic = enabled;
}

void Updater::checkForUpdates()
{
    if (!m_started || m_checking)
        return;
    runCheck(false);
}

void Updater::pollAutomatic()
{
    if (!m_started || !m_automatic || m_checking)
        return;
    if (m_options.settings) {
        const QDateTime last =
            QDateTime::fromString(m_options.settings->value(QLatin1String(kLastUpdateCheckSettingsKey)).toString(),
                                  Qt::ISODate);
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // A clock set back must not stop the checks for good.
        if (last.isValid() && last <= now && last.msecsTo(now) < m_options.checkInterval.count())
            return;
        m_options.settings->setValue(QLatin1String(kLastUpdateCheckSettingsKey), now.toString(Qt::ISODate));
        m_options.settings->sync();
    }
    runCheck(true);
}

InstallKind Updater::installKindFor(const fs::path &executable, fs::path *root)
{
    const fs::path program = executable.lexically_normal();
    if (program.string().starts_with("/usr/") && !program.string().starts_with("/usr/local/"))
        return InstallKind::debianPackage;
    // Only a bundle's own folder is replaced; a copy installed into a shared
    // prefix such as /usr/local is left to whoever installed it.
    const fs::path bin = program.parent_path();
    std::error_code ec;
    if (bin.filename() == "bin" && bin.parent_path().filename().string().starts_with("tarnibar-") &&
        fs::is_directory(bin.parent_path() / "share" / "tarnibar", ec)) {
        if (root)
            *root = bin.parent_path();
        return InstallKind::tarball;
    }
    return InstallKind::none;
}

QCoro::Task<> Updater::runCheck(bool automatic)
{
    m_checking = true;
    QPointer<Updater> self(this);
    QDir downloads(m_options.downloadDirectory);
    if (!m_options.downloadDirectory.isEmpty()) {
        // Earlier downloads are of no use any more.
        if (downloads.exists())
            downloads.removeRecursively();
        QDir().mkpath(m_options.downloadDirectory);
        QFile::setPermissions(m_options.downloadDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    UpdateCheckRequest request;
    request.configuration = m_options.configuration;
    request.currentVersion = m_options.currentVersion;
    request.kind = installKindFor(m_options.executable);
    request.downloadDirectory = m_options.downloadDirectory;
    request.plainHttpAllowed = m_options.configuration.feedIsPlainHttp();
    QString foundVersion;
    request.found = [self, &foundVersion](const AppcastItem &item) {
        foundVersion = item.displayVersion();
        if (self)
            self->status(textKey("Version %@ is available; downloading…"), {foundVersion});
    };
    // One status per percent, not one per network chunk.
    int shownPercent = -1;
    request.progress = [self, &foundVersion, &shownPercent](qint64 received, qint64 total) {
        const int percent = total > 0 ? int(received * 100 / total) : 0;
        if (!self || percent == shownPercent)
            return;
        shownPercent = percent;
        self->status(textKey("Downloading version %@: %@ of %@…"), {foundVersion, megabytes(received), megabytes(total)});
    };
    const UpdateCheckResult result = co_await checkForUpdate(*m_network, std::move(request));
    if (!self)
        co_return;
    m_checking = false;
    switch (result.outcome) {
    case UpdateCheckResult::Outcome::upToDate:
        if (!automatic)
            status(textKey("Tarni Bar is up to date (version %@)."), {m_options.currentVersion});
        break;
    case UpdateCheckResult::Outcome::refused:
        qCWarning(lcUpdate, "update refused: %s", qPrintable(result.problem.text()));
        status(textKey("Update refused: %@"), {result.problem.text()});
        break;
    case UpdateCheckResult::Outcome::failed:
        qCWarning(lcUpdate, "update check failed: %s", qPrintable(result.problem.text()));
        if (!automatic)
            status(textKey("The update check failed: %@"), {result.problem.text()});
        break;
    case UpdateCheckResult::Outcome::verified:
        status(textKey("Version %@ was downloaded and its signature verified."), {result.item.displayVersion()});
        install(result);
        break;
    }
    Q_EMIT checkFinished(result.outcome);
}

void Updater::install(const UpdateCheckResult &result)
{
    const QString version = result.item.displayVersion();
    fs::path root;
    switch (installKindFor(m_options.executable, &root)) {
    case InstallKind::none:
        status(textKey("Version %@ was verified; this copy is not installed, so nothing was changed."), {version});
        return;
    case InstallKind::debianPackage: {
        // The package manager's installer asks for the password and installs;
        // the package stays in the private downloads folder until the next check.
        const QString package = QDir(m_options.downloadDirectory.isEmpty() ? QDir::tempPath()
                                                                           : m_options.downloadDirectory)
                                    .filePath(QStringLiteral("tarnibar_%1.deb").arg(version));
        QFile::remove(package);
        if (!result.file->rename(package)) {
            status(textKey("The update could not be saved: %@"), {result.file->errorString()});
            return;
        }
        result.file->setAutoRemove(false);
        if (m_options.openPackage && m_options.openPackage(package))
            status(textKey("Version %@ was verified and handed to the package installer: %@"), {version, package});
        else
            status(textKey("Version %@ was verified, but no package installer could be opened for %@."),
                   {version, package});
        return;
    }
    case InstallKind::tarball: {
        const auto installed = installTarball(result.file->fileName(), root);
        if (!installed) {
            status(textKey("Update refused: %@"), {installed.error().text()});
            return;
        }
        // The folder's path would not wrap in the status line; the log has it.
        qCInfo(lcUpdate, "installed %s", installed->installedRoot.c_str());
        status(textKey("Version %@ is installed beside this copy. Restart Tarni Bar to use it."), {version});
        Q_EMIT restartOffered(QString::fromStdString(installed->executable.string()), version);
        return;
    }
    }
}

void Updater::status(const char *key, QStringList values)
{
    Q_EMIT statusChanged(QString::fromUtf8(key), values);
}

} // namespace tarni

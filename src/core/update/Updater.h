#pragma once

#include "update/UpdateCheck.h"
#include "update/UpdateConfiguration.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>

class QNetworkAccessManager;
class QSettings;

namespace tarni {

inline constexpr const char *kLastUpdateCheckSettingsKey = "TarniBar.lastUpdateCheck";

// The application's updater: once started it checks the build's feed in
// the background once a day while automatic checks are on, and on request.
// A verified release is installed the way the running copy was: a bundle is
// unpacked beside it and the "tarnibar-current" link switched (then a
// restart is offered); a Debian package is handed to the desktop's package
// installer. Everything it has to say goes out through statusChanged as a
// looked-up text and its values.
class Updater : public QObject {
    Q_OBJECT
public:
    struct Options {
        UpdateConfiguration configuration;
        QString currentVersion;
        std::filesystem::path executable;
        // A private folder for downloads; emptied before each download.
        QString downloadDirectory;
        // Keeps the time of the last automatic check (may be null).
        QSettings *settings = nullptr;
        // Opens a verified package with the desktop's installer; true when started.
        std::function<bool(const QString &path)> openPackage;
        std::chrono::milliseconds firstCheckDelay = std::chrono::minutes(1);
        std::chrono::milliseconds checkInterval = std::chrono::hours(24);
        std::chrono::milliseconds pollInterval = std::chrono::hours(1);
    };

    explicit Updater(Options options, QObject *parent = nullptr);
    ~Updater() override;

    // Until started, the updater neither checks on its own nor on request.
    void start();
    bool isStarted() const { return m_started; }
    void setAutomaticallyChecksForUpdates(bool enabled);
    bool automaticallyChecksForUpdates() const { return m_automatic; }
    // Starts a check unless one runs.
    void checkForUpdates();
    bool isChecking() const { return m_checking; }

    // How the program at `executable` was installed: under /usr (not
    // /usr/local) by the package manager, or as a bundle when it is
    // "tarnibar-*/bin/tarnibar" beside "share/tarnibar"; `root` receives the
    // bundle's folder.
    static InstallKind installKindFor(const std::filesystem::path &executable, std::filesystem::path *root = nullptr);

Q_SIGNALS:
    void statusChanged(const QString &key, const QStringList &values);
    void restartOffered(const QString &executable, const QString &version);
    void checkFinished(tarni::UpdateCheckResult::Outcome outcome);

private:
    QCoro::Task<> runCheck(bool automatic);
    void pollAutomatic();
    void install(const UpdateCheckResult &result);
    void status(const char *key, QStringList values = {});

    Options m_options;
    QNetworkAccessManager *m_network = nullptr;
    QTimer m_poll;
    bool m_started = false;
    bool m_automatic = true;
    bool m_checking = false;
};

} // namespace tarni

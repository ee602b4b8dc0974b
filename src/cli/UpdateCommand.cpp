// `update check`: asks the update feed what it offers and checks the newest
// release's package exactly as the application would, without installing it.

#include "CliSession.h"

#include "update/UpdateCheck.h"
#include "update/Updater.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

namespace tarni::cli {

namespace {

constexpr const char *kUsage = "update check [--feed URL] [--public-key KEY] [--current-version V]";

} // namespace

int runUpdate(CliContext &, const QStringList &arguments)
{
    auto args = parseArguments(
        arguments, {QStringLiteral("--feed"), QStringLiteral("--public-key"), QStringLiteral("--current-version")}, {});
    if (!args || args->positional != QStringList{QStringLiteral("check")})
        return usage(kUsage);

    QVariantMap info = readUpdateConfiguration(updateConfigurationFile());
    const auto own = validUpdateConfiguration(info);
    if (const auto feed = args->value("--feed"))
        info.insert(QLatin1String(kFeedURLKey), *feed);
    if (const auto key = args->value("--public-key"))
        info.insert(QLatin1String(kPublicEDKeyKey), *key);
    const auto configuration = validUpdateConfiguration(info);
    if (!configuration) {
        if (args->value("--feed") || args->value("--public-key")) {
            printError(QStringLiteral("the feed must be an http(s) address and the public key 32 bytes of Base64"));
            return kExitUsage;
        }
        printError(QStringLiteral("this build has no update configuration; give --feed and --public-key"));
        return kExitFailed;
    }

    UpdateCheckRequest request;
    request.configuration = *configuration;
    request.plainHttpAllowed = own && own->feedIsPlainHttp();
    request.currentVersion = args->value("--current-version").value_or(QStringLiteral(TARNI_VERSION));
    if (!parseVersion(request.currentVersion)) {
        printError(QStringLiteral("%1 is not a version (numbers separated by dots)").arg(request.currentVersion));
        return kExitUsage;
    }
    const InstallKind kind = Updater::installKindFor(QCoreApplication::applicationFilePath().toStdString());
    // A bundle or a package takes its own kind of file; anything else checks the first.
    request.kind = kind;
    QNetworkAccessManager network;
    const UpdateCheckResult result = QCoro::waitFor(checkForUpdate(network, std::move(request)));
    switch (result.outcome) {
    case UpdateCheckResult::Outcome::upToDate:
        printOut(QStringLiteral("nothing newer than %1 is offered\n").arg(args->value("--current-version").value_or(
            QStringLiteral(TARNI_VERSION))));
        return kExitNothingNewer;
    case UpdateCheckResult::Outcome::refused:
        printError(QStringLiteral("refused: %1").arg(result.problem.text()));
        return kExitUpdateRefused;
    case UpdateCheckResult::Outcome::failed:
        printError(result.problem.text());
        return kExitFailed;
    case UpdateCheckResult::Outcome::verified:
        break;
    }
    QString text = QStringLiteral("version %1 (%2) verified\npackage: %3\nbytes: %4\n")
                       .arg(result.item.displayVersion(), result.item.version,
                            result.enclosure.url.toDisplayString(), QString::number(result.enclosure.length));
    if (!result.item.releaseNotes.isEmpty())
        text += QStringLiteral("release notes: %1\n").arg(result.item.releaseNotes.toDisplayString());
    printOut(text);
    return kExitOk;
}

} // namespace tarni::cli

#include "gui/GuiSupport.h"

#include "app/AppModel.h"
#include "app/LanguageManager.h"
#include "util/Localized.h"

#include <QApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>

namespace tarni {

namespace {

// Without a desktop environment Qt knows no icon theme but "hicolor", which
// holds application icons only. An installed theme is a better fallback than
// the style's few pixmaps.
void useAnInstalledIconTheme()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    QStringList folders = QIcon::themeSearchPaths();
    for (const QString &folder :
         QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                   QStandardPaths::LocateDirectory)) {
        if (!folders.contains(folder))
            folders << folder;
    }
    auto installed = [&](const QString &theme) {
        for (const QString &folder : std::as_const(folders))
            if (QFileInfo::exists(QStringLiteral("%1/%2/index.theme").arg(folder, theme)))
                return true;
        return false;
    };
    // A desktop may name a theme it did not install (KDE's breeze without
    // its package); then an installed one stands in for it.
    const QString fallback = QIcon::fallbackThemeName();
    const bool themeMissing = !QIcon::themeName().isEmpty() && !installed(QIcon::themeName());
    if (!themeMissing && !fallback.isEmpty() && fallback != QLatin1String("hicolor"))
        return;
    if (themeMissing)
        QIcon::setThemeName(QStringLiteral("hicolor"));
    for (const char *candidate : {"Adwaita", "breeze", "Papirus", "elementary", "gnome"}) {
        for (const QString &folder : std::as_const(folders)) {
            if (!QFileInfo::exists(QStringLiteral("%1/%2/index.theme").arg(folder, QLatin1String(candidate))))
                continue;
            QIcon::setThemeSearchPaths(folders);
            // The fallback is only consulted below a named theme.
            if (QIcon::themeName().isEmpty())
                QIcon::setThemeName(QStringLiteral("hicolor"));
            QIcon::setFallbackThemeName(QLatin1String(candidate));
            return;
        }
    }
}

} // namespace

QIcon themedIcon(const QString &themeName, QStyle::StandardPixmap fallback)
{
    useAnInstalledIconTheme();
    // The monochrome form first: it is what newer themes draw actions with,
    // and it stays sharp at toolbar size.
    QIcon icon = QIcon::fromTheme(themeName + QStringLiteral("-symbolic"));
    if (icon.isNull())
        icon = QIcon::fromTheme(themeName);
    return icon.isNull() ? QApplication::style()->standardIcon(fallback) : icon;
}

void onLanguageChange(AppModel &model, QObject *receiver, std::function<void()> relabel)
{
    if (LanguageManager *manager = model.dependencies().languageManager)
        QObject::connect(manager, &LanguageManager::languageDidChange, receiver,
                         [relabel](AppLanguage) { relabel(); });
    else
        QObject::connect(&model, &AppModel::appLanguageChanged, receiver, relabel);
}

QLocale interfaceLocale(const AppModel &model)
{
    return model.interfaceLocale();
}

QString productName()
{
    return localized("Tarni Bar");
}

QString readableTime(const std::optional<Timestamp> &time, const QLocale &locale)
{
    if (!time)
        return QStringLiteral("—");
    const auto seconds = time->time_since_epoch().count();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime();
    return locale.toString(local, QLocale::ShortFormat);
}

QString kindName(WorkspaceNodeKind kind)
{
    switch (kind) {
    case WorkspaceNodeKind::group:
        return localized("Group");
    case WorkspaceNodeKind::chromeTab:
        return localized("Chrome Tab");
    case WorkspaceNodeKind::webLink:
        return localized("Web Link");
    case WorkspaceNodeKind::slackThread:
        return localized("Slack Thread");
    case WorkspaceNodeKind::file:
        return localized("File");
    case WorkspaceNodeKind::folder:
        return localized("Folder");
    }
    return {};
}

} // namespace tarni

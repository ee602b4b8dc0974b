#include "gui/GuiSupport.h"

#include "app/AppModel.h"
#include "app/LanguageManager.h"
#include "app/Localized.h"

#include <QApplication>
#include <QDateTime>
#include <QLocale>

namespace tarni {

QIcon themedIcon(const QString &themeName, QStyle::StandardPixmap fallback)
{
    return QIcon::fromTheme(themeName, QApplication::style()->standardIcon(fallback));
}

void onLanguageChange(AppModel &model, QObject *receiver, std::function<void()> relabel)
{
    if (LanguageManager *manager = model.dependencies().languageManager)
        QObject::connect(manager, &LanguageManager::languageDidChange, receiver,
                         [relabel](AppLanguage) { relabel(); });
    else
        QObject::connect(&model, &AppModel::appLanguageChanged, receiver, relabel);
}

QString readableTime(const std::optional<Timestamp> &time)
{
    if (!time)
        return QStringLiteral("—");
    const auto seconds = time->time_since_epoch().count();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime();
    return QLocale().toString(local, QLocale::ShortFormat);
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

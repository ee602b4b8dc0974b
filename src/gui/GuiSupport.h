#pragma once

#include "model/NodePayload.h"
#include "model/Timestamp.h"

#include <QIcon>
#include <QStyle>

#include <functional>
#include <optional>

class QObject;
class QWidget;

namespace tarni {

class AppModel;

// The desktop theme's icon, or the style's own when the theme has none
// (no icon theme is installed on a bare X server).
QIcon themedIcon(const QString &themeName, QStyle::StandardPixmap fallback);

// Calls `relabel` after every change of the interface language, for as long
// as `receiver` lives. The status lines of the model are already rewritten
// by then.
void onLanguageChange(AppModel &model, QObject *receiver, std::function<void()> relabel);

// A stored time in the desktop's local time and date format; "—" for none.
QString readableTime(const std::optional<Timestamp> &time);

// The localized name of a node kind, as the inspector shows it.
QString kindName(WorkspaceNodeKind kind);

} // namespace tarni

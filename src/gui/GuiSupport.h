#pragma once

#include "model/NodePayload.h"
#include "model/Timestamp.h"

#include <QIcon>
#include <QLocale>
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

// The locale of the interface language, for dates and numbers.
QLocale interfaceLocale(const AppModel &model);

// The product's name in the interface language, the title of our message
// boxes (Qt would title them with the executable's name).
QString productName();

// A stored time in local time, in the locale's short format; "—" for none.
QString readableTime(const std::optional<Timestamp> &time, const QLocale &locale);

// The localized name of a node kind, as the inspector shows it.
QString kindName(WorkspaceNodeKind kind);

} // namespace tarni

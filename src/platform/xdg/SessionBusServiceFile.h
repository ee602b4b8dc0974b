#pragma once

#include "util/Result.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace tarni {

// The session bus starts the application for a call to "com.tarni.bar" when
// none runs, through a service file of that name in a data directory's
// dbus-1/services: the .deb installs one under /usr/share; an application
// started from anywhere else keeps one of its own for the user.
inline constexpr const char *kSessionBusServiceFileName = "com.tarni.bar.service";

// The file that starts `executable` as the native host does (in the
// background); nothing when the path cannot stand on an Exec line.
std::optional<QByteArray> sessionBusServiceFileText(const QString &executable);

// Keeps <dataHome>/dbus-1/services/com.tarni.bar.service starting
// `executable`: written when missing or naming anything else, and left
// missing when one in `dataDirs` (the system's) already starts it. True when
// it wrote the file.
Result<bool, QString> installSessionBusServiceFile(const QString &executable, const QString &dataHome,
                                                   const QStringList &dataDirs);

} // namespace tarni

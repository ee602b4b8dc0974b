#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace tarni::test {

// A desktop of a test's own under `dir`: the folders the XDG variables of
// privateDesktopEnvironment name, and a default application for text files
// that is a copy of `testWindow` (bin/tarni-test-viewer) started with
// `--geometry viewerGeometry`, so it always appears at the same place.
// Gives the copy's path, or an empty string when a file cannot be written.
QString preparePrivateDesktop(const QString &dir, const QString &testWindow, const QByteArray &viewerGeometry);

// The environment that runs the application on `display` and the session
// bus at `busAddress` with its data root, home and desktop in `dir`.
QStringList privateDesktopEnvironment(const QString &dir, const QString &display, const QString &busAddress);

} // namespace tarni::test

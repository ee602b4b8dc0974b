#pragma once

#include "platform/xdg/DesktopEntry.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

namespace tarni {

// Which application opens a MIME type, the way xdg-open and the desktops
// decide it: the [Default Applications] of the mimeapps.list files in their
// order of precedence, then the applications that declare the type (the
// mimeinfo.cache of each applications folder); first for the type itself,
// then for its aliases' and ancestors' defaults.
class DefaultApplicationLookup {
public:
    explicit DefaultApplicationLookup(QProcessEnvironment environment = QProcessEnvironment::systemEnvironment());

    std::optional<DesktopEntry> defaultApplication(const QString &mimeType) const;
    // The MIME type of a file, or "inode/directory" for a folder.
    static QString mimeTypeOfPath(const QString &path);
    std::optional<DesktopEntry> defaultApplicationForPath(const QString &path) const;

    // mimeapps.list files, most important first.
    QStringList mimeappsFiles() const;
    // The "applications" folders, most important first.
    QStringList applicationDirs() const;
    std::optional<DesktopEntry> findDesktopEntry(const QString &id) const;

private:
    std::optional<DesktopEntry> defaultForExactType(const QString &mimeType) const;

    QProcessEnvironment m_env;
};

} // namespace tarni

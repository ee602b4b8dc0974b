#pragma once

#include "platform/xdg/DesktopEntry.h"
#include "windowing/AXWindowControlling.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

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
    // The application whose window an open request waits for: the program
    // the request names, else the default application of its identifier
    // taken as a path; none when nobody can tell.
    std::optional<DesktopEntry> applicationOf(const OpenedWindowRequest &request) const;

    // mimeapps.list files, most important first.
    QStringList mimeappsFiles() const { return m_mimeappsFiles; }
    // The "applications" folders, most important first.
    QStringList applicationDirs() const { return m_applicationDirs; }
    std::optional<DesktopEntry> findDesktopEntry(const QString &id) const;

    // The ';'-separated values of `key` in `[group]` of a keyfile, compared
    // as bytes; when a key is written twice, its first line counts.
    static QStringList associations(QByteArrayView keyfile, QByteArrayView group, QByteArrayView key);

private:
    // A mimeapps.list or mimeinfo.cache as read, and the group that counts.
    struct AssociationFile {
        QByteArray keyfile;
        QByteArrayView group;
    };
    // Every mimeapps.list, then every mimeinfo.cache.
    std::vector<AssociationFile> readAssociationFiles() const;
    std::optional<DesktopEntry> defaultForExactType(const std::vector<AssociationFile> &files, const QString &mimeType) const;

    QStringList m_applicationDirs;
    QStringList m_mimeappsFiles;
    QStringList m_searchPath;
};

} // namespace tarni

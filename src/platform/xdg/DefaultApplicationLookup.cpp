#include "platform/xdg/DefaultApplicationLookup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>

namespace tarni {

namespace {

QStringList splitDirs(const QString &value, const QStringList &fallback)
{
    QStringList dirs;
    for (const QString &d : value.split(u':', Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(d))
            dirs << d;
    }
    return dirs.isEmpty() ? fallback : dirs;
}

// Values of `key` in `group` of a keyfile, split on ';'.
QStringList keyfileList(const QString &path, const QString &group, const QString &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > 4 * 1024 * 1024)
        return {};
    const QString header = u'[' + group + u']';
    bool inGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inGroup = line == header;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.left(eq).trimmed() == key)
            return line.mid(eq + 1).trimmed().split(u';', Qt::SkipEmptyParts);
    }
    return {};
}

} // namespace

DefaultApplicationLookup::DefaultApplicationLookup(QProcessEnvironment environment) : m_env(std::move(environment)) {}

QStringList DefaultApplicationLookup::mimeappsFiles() const
{
    const QString home = m_env.value(QStringLiteral("HOME"));
    const QString configHome = splitDirs(m_env.value(QStringLiteral("XDG_CONFIG_HOME")), {home + QStringLiteral("/.config")}).first();
    const QStringList configDirs = splitDirs(m_env.value(QStringLiteral("XDG_CONFIG_DIRS")), {QStringLiteral("/etc/xdg")});
    QStringList desktops;
    for (const QString &d : m_env.value(QStringLiteral("XDG_CURRENT_DESKTOP")).split(u':', Qt::SkipEmptyParts))
        desktops << d.toLower();

    QStringList folders{configHome};
    folders << configDirs;
    QStringList apps = applicationDirs();
    folders << apps;
    QStringList files;
    for (const QString &folder : folders) {
        for (const QString &desktop : desktops)
            files << folder + u'/' + desktop + QStringLiteral("-mimeapps.list");
        files << folder + QStringLiteral("/mimeapps.list");
    }
    return files;
}

QStringList DefaultApplicationLookup::applicationDirs() const
{
    const QString home = m_env.value(QStringLiteral("HOME"));
    QStringList dirs{splitDirs(m_env.value(QStringLiteral("XDG_DATA_HOME")), {home + QStringLiteral("/.local/share")}).first()};
    dirs << splitDirs(m_env.value(QStringLiteral("XDG_DATA_DIRS")),
                      {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")});
    for (QString &d : dirs)
        d += u"/applications";
    return dirs;
}

std::optional<DesktopEntry> DefaultApplicationLookup::findDesktopEntry(const QString &id) const
{
    if (id.isEmpty() || id.contains(u'/') || id.startsWith(u'.'))
        return std::nullopt;
    const QStringList searchPath = m_env.value(QStringLiteral("PATH")).split(u':', Qt::SkipEmptyParts);
    // "vendor-app.desktop" may also live at "vendor/app.desktop".
    QStringList relative{id};
    for (qsizetype dash = id.indexOf(u'-'); dash > 0; dash = id.indexOf(u'-', dash + 1)) {
        QString nested = id;
        nested[dash] = u'/';
        relative << nested;
    }
    for (const QString &dir : applicationDirs()) {
        for (const QString &rel : relative) {
            const QString path = dir + u'/' + rel;
            if (!QFileInfo::exists(path))
                continue;
            // The first file found for an id shadows the others, even when
            // it hides the application.
            auto entry = DesktopEntry::load(path, id, searchPath);
            if (!entry || entry->hidden)
                return std::nullopt;
            return entry;
        }
    }
    return std::nullopt;
}

std::optional<DesktopEntry> DefaultApplicationLookup::defaultForExactType(const QString &mimeType) const
{
    for (const QString &file : mimeappsFiles()) {
        for (const QString &id : keyfileList(file, QStringLiteral("Default Applications"), mimeType)) {
            if (auto entry = findDesktopEntry(id.trimmed()))
                return entry;
        }
    }
    for (const QString &dir : applicationDirs()) {
        for (const QString &id : keyfileList(dir + QStringLiteral("/mimeinfo.cache"), QStringLiteral("MIME Cache"), mimeType)) {
            if (auto entry = findDesktopEntry(id.trimmed()))
                return entry;
        }
    }
    return std::nullopt;
}

std::optional<DesktopEntry> DefaultApplicationLookup::defaultApplication(const QString &mimeType) const
{
    if (mimeType.isEmpty())
        return std::nullopt;
    if (auto entry = defaultForExactType(mimeType))
        return entry;
    const QMimeType type = QMimeDatabase().mimeTypeForName(mimeType);
    if (!type.isValid())
        return std::nullopt;
    QStringList candidates;
    if (type.name() != mimeType)
        candidates << type.name();
    candidates << type.aliases() << type.allAncestors();
    for (const QString &candidate : candidates) {
        if (candidate == mimeType)
            continue;
        if (auto entry = defaultForExactType(candidate))
            return entry;
    }
    return std::nullopt;
}

QString DefaultApplicationLookup::mimeTypeOfPath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("inode/directory");
    return QMimeDatabase().mimeTypeForFile(info).name();
}

std::optional<DesktopEntry> DefaultApplicationLookup::defaultApplicationForPath(const QString &path) const
{
    return defaultApplication(mimeTypeOfPath(path));
}

} // namespace tarni

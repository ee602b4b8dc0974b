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
    // "vendor-app.desktop" may also live at "vendor/app.desktop". No file or
    // folder name is longer than NAME_MAX bytes, so forms with a longer part
    // are not looked for: a long id with many dashes costs nothing.
    constexpr qsizetype nameMax = 255;
    // A UTF-8 name is at least as long in bytes as it is in UTF-16 units.
    const auto fits = [](QStringView part) { return part.size() <= nameMax && part.toUtf8().size() <= nameMax; };
    QList<qsizetype> dashes;
    if (fits(id))
        dashes << -1;
    for (qsizetype dash = id.indexOf(u'-'); dash > 0 && dash <= nameMax; dash = id.indexOf(u'-', dash + 1)) {
        if (fits(QStringView(id).left(dash)) && fits(QStringView(id).mid(dash + 1)))
            dashes << dash;
    }
    for (const QString &dir : applicationDirs()) {
        for (const qsizetype dash : dashes) {
            QString path = dir + u'/' + id;
            if (dash >= 0)
                path[dir.size() + 1 + dash] = u'/';
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

DefaultApplicationLookup::Associations DefaultApplicationLookup::parseAssociations(QByteArrayView keyfile,
                                                                                   const QString &group)
{
    Associations associations;
    const QString header = u'[' + group + u']';
    bool inGroup = false;
    qsizetype pos = 0;
    while (pos < keyfile.size()) {
        qsizetype end = keyfile.indexOf('\n', pos);
        if (end < 0)
            end = keyfile.size();
        const QString line = QString::fromUtf8(keyfile.sliced(pos, end - pos)).trimmed();
        pos = end + 1;
        if (line.startsWith(u'[')) {
            inGroup = line == header;
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (!inGroup || eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        if (!associations.contains(key))
            associations.insert(key, line.mid(eq + 1).trimmed().split(u';', Qt::SkipEmptyParts));
    }
    return associations;
}

std::vector<DefaultApplicationLookup::Associations> DefaultApplicationLookup::readAssociations() const
{
    std::vector<Associations> lists;
    const auto read = [&lists](const QString &path, const QString &group) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly) || file.size() > 4 * 1024 * 1024)
            return;
        if (Associations associations = parseAssociations(file.readAll(), group); !associations.isEmpty())
            lists.push_back(std::move(associations));
    };
    for (const QString &file : mimeappsFiles())
        read(file, QStringLiteral("Default Applications"));
    for (const QString &dir : applicationDirs())
        read(dir + QStringLiteral("/mimeinfo.cache"), QStringLiteral("MIME Cache"));
    return lists;
}

std::optional<DesktopEntry> DefaultApplicationLookup::defaultForExactType(const std::vector<Associations> &lists,
                                                                          const QString &mimeType) const
{
    for (const Associations &associations : lists) {
        for (const QString &id : associations.value(mimeType)) {
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
    // Each list is read once for the type and all its candidates.
    const std::vector<Associations> lists = readAssociations();
    if (auto entry = defaultForExactType(lists, mimeType))
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
        if (auto entry = defaultForExactType(lists, candidate))
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

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

QStringList applicationDirsOf(const QProcessEnvironment &env)
{
    const QString home = env.value(QStringLiteral("HOME"));
    QStringList dirs{splitDirs(env.value(QStringLiteral("XDG_DATA_HOME")), {home + QStringLiteral("/.local/share")}).first()};
    dirs << splitDirs(env.value(QStringLiteral("XDG_DATA_DIRS")),
                      {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")});
    for (QString &d : dirs)
        d += u"/applications";
    return dirs;
}

QStringList mimeappsFilesOf(const QProcessEnvironment &env, const QStringList &applicationDirs)
{
    const QString home = env.value(QStringLiteral("HOME"));
    const QString configHome = splitDirs(env.value(QStringLiteral("XDG_CONFIG_HOME")), {home + QStringLiteral("/.config")}).first();
    const QStringList configDirs = splitDirs(env.value(QStringLiteral("XDG_CONFIG_DIRS")), {QStringLiteral("/etc/xdg")});
    QStringList desktops;
    for (const QString &d : env.value(QStringLiteral("XDG_CURRENT_DESKTOP")).split(u':', Qt::SkipEmptyParts))
        desktops << d.toLower();

    QStringList folders{configHome};
    folders << configDirs << applicationDirs;
    QStringList files;
    for (const QString &folder : folders) {
        for (const QString &desktop : desktops)
            files << folder + u'/' + desktop + QStringLiteral("-mimeapps.list");
        files << folder + QStringLiteral("/mimeapps.list");
    }
    return files;
}

} // namespace

// The folders depend on the environment alone, so they are worked out once.
DefaultApplicationLookup::DefaultApplicationLookup(QProcessEnvironment environment)
    : m_applicationDirs(applicationDirsOf(environment))
    , m_mimeappsFiles(mimeappsFilesOf(environment, m_applicationDirs))
    , m_searchPath(environment.value(QStringLiteral("PATH")).split(u':', Qt::SkipEmptyParts))
{
}

std::optional<DesktopEntry> DefaultApplicationLookup::findDesktopEntry(const QString &id) const
{
    if (id.isEmpty() || id.contains(u'/') || id.contains(QChar(u'\0')) || id.startsWith(u'.'))
        return std::nullopt;
    // "vendor-app.desktop" may also live at "vendor/app.desktop". No file or
    // folder name is longer than NAME_MAX bytes, so forms with a longer part
    // are not looked for: a long id with many dashes costs nothing.
    constexpr qsizetype nameMax = 255;
    // utf8Before[i]: the UTF-8 length of the id's first i units.
    std::vector<qsizetype> utf8Before(std::size_t(id.size()) + 1, 0);
    for (qsizetype i = 0; i < id.size(); ++i) {
        const char16_t c = id.at(i).unicode();
        // A surrogate pair is four bytes, two for each half.
        utf8Before[std::size_t(i) + 1] = utf8Before[std::size_t(i)] + (c < 0x80 ? 1 : c < 0x800 || QChar::isSurrogate(c) ? 2 : 3);
    }
    const auto fits = [&utf8Before](qsizetype from, qsizetype to) {
        return utf8Before[std::size_t(to)] - utf8Before[std::size_t(from)] <= nameMax;
    };
    QList<qsizetype> dashes;
    if (fits(0, id.size()))
        dashes << -1;
    for (qsizetype dash = id.indexOf(u'-'); dash > 0 && dash <= nameMax; dash = id.indexOf(u'-', dash + 1)) {
        if (fits(0, dash) && fits(dash + 1, id.size()))
            dashes << dash;
    }
    for (const QString &dir : m_applicationDirs) {
        for (const qsizetype dash : dashes) {
            QString path = dir + u'/' + id;
            if (dash >= 0)
                path[dir.size() + 1 + dash] = u'/';
            if (!QFileInfo::exists(path))
                continue;
            // The first file found for an id shadows the others, even when
            // it hides the application.
            auto entry = DesktopEntry::load(path, id, m_searchPath);
            if (!entry || entry->hidden)
                return std::nullopt;
            return entry;
        }
    }
    return std::nullopt;
}

QStringList DefaultApplicationLookup::associations(QByteArrayView keyfile, QByteArrayView group, QByteArrayView key)
{
    // The lines stay bytes until the one asked for is found: a cache of a
    // thousand types costs no strings for the others.
    bool inGroup = false;
    qsizetype pos = 0;
    while (pos < keyfile.size()) {
        qsizetype end = keyfile.indexOf('\n', pos);
        if (end < 0)
            end = keyfile.size();
        const QByteArrayView line = keyfile.sliced(pos, end - pos).trimmed();
        pos = end + 1;
        if (line.startsWith('[')) {
            inGroup = line.endsWith(']') && line.sliced(1, line.size() - 2) == group;
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (inGroup && eq > 0 && line.first(eq).trimmed() == key)
            return QString::fromUtf8(line.sliced(eq + 1)).trimmed().split(u';', Qt::SkipEmptyParts);
    }
    return {};
}

std::vector<DefaultApplicationLookup::AssociationFile> DefaultApplicationLookup::readAssociationFiles() const
{
    std::vector<AssociationFile> files;
    const auto read = [&files](const QString &path, QByteArrayView group) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.size() <= 4 * 1024 * 1024)
            files.push_back({file.readAll(), group});
    };
    for (const QString &file : m_mimeappsFiles)
        read(file, "Default Applications");
    for (const QString &dir : m_applicationDirs)
        read(dir + QStringLiteral("/mimeinfo.cache"), "MIME Cache");
    return files;
}

std::optional<DesktopEntry> DefaultApplicationLookup::defaultForExactType(const std::vector<AssociationFile> &files,
                                                                          const QString &mimeType) const
{
    const QByteArray key = mimeType.toUtf8();
    for (const AssociationFile &file : files) {
        for (const QString &id : associations(file.keyfile, file.group, key)) {
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
    const std::vector<AssociationFile> files = readAssociationFiles();
    if (auto entry = defaultForExactType(files, mimeType))
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
        if (auto entry = defaultForExactType(files, candidate))
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

std::optional<DesktopEntry> DefaultApplicationLookup::applicationOf(const OpenedWindowRequest &request) const
{
    if (request.executable.isEmpty() && request.windowClass.isEmpty())
        return defaultApplicationForPath(request.identifier);
    DesktopEntry application;
    application.executable = request.executable;
    application.startupWMClass = request.windowClass;
    return application;
}

} // namespace tarni

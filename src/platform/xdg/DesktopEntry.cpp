#include "platform/xdg/DesktopEntry.h"

#include <QFile>
#include <QFileInfo>
#include <QDir>

namespace tarni {

namespace {

// Splits an Exec line into words, honouring double quotes and backslash
// escapes inside them (the desktop entry quoting rules).
QStringList splitExec(const QString &exec)
{
    QStringList words;
    QString word;
    bool inQuotes = false;
    bool haveWord = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (inQuotes) {
            if (c == u'\\' && i + 1 < exec.size()) {
                word += exec.at(++i);
            } else if (c == u'"') {
                inQuotes = false;
            } else {
                word += c;
            }
        } else if (c == u'"') {
            inQuotes = true;
            haveWord = true;
        } else if (c.isSpace()) {
            if (haveWord || !word.isEmpty())
                words << word;
            word.clear();
            haveWord = false;
        } else {
            word += c;
        }
    }
    if (haveWord || !word.isEmpty())
        words << word;
    return words;
}

QString resolveProgram(const QString &program, const QStringList &searchPath)
{
    // No file name holds a NUL; Qt would only warn about it.
    if (program.isEmpty() || program.contains(QChar(u'\0')))
        return {};
    if (program.contains(u'/')) {
        const QFileInfo info(program);
        return info.isFile() && info.isExecutable() ? info.canonicalFilePath() : QString();
    }
    for (const QString &dir : searchPath) {
        const QFileInfo info(QDir(dir).filePath(program));
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return {};
}

} // namespace

QString DesktopEntry::programOfExec(const QString &exec)
{
    const QStringList words = splitExec(exec);
    qsizetype i = 0;
    if (i < words.size() && (words[i] == u"env" || words[i].endsWith(u"/env"))) {
        ++i;
        while (i < words.size() && (words[i].contains(u'=') || words[i].startsWith(u'-')))
            ++i;
    }
    return i < words.size() ? words[i] : QString();
}

std::optional<DesktopEntry> DesktopEntry::load(const QString &filePath, const QString &id, const QStringList &searchPath)
{
    QFile file(filePath);
    // Desktop entries are small; anything huge is not one.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return std::nullopt;
    DesktopEntry entry;
    entry.id = id;
    entry.filePath = filePath;
    bool inMainGroup = false;
    bool isApplication = false;
    QString tryExec;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inMainGroup = line == u"[Desktop Entry]";
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == u"Type")
            isApplication = value == u"Application";
        else if (key == u"Exec")
            entry.exec = value;
        else if (key == u"TryExec")
            tryExec = value;
        else if (key == u"StartupWMClass")
            entry.startupWMClass = value;
        else if (key == u"Hidden")
            entry.hidden = value == u"true";
    }
    if (!isApplication)
        return std::nullopt;
    entry.executable = resolveProgram(programOfExec(entry.exec), searchPath);
    if (entry.executable.isEmpty() && !tryExec.isEmpty())
        entry.executable = resolveProgram(tryExec, searchPath);
    return entry;
}

} // namespace tarni

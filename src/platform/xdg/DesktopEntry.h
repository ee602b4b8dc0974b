#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace tarni {

// The parts of a freedesktop desktop entry that tell which program it runs.
struct DesktopEntry {
    QString id;       // "org.example.Viewer.desktop"
    QString filePath; // where it was found
    QString exec;     // the Exec line as written
    // The program of the Exec line, resolved through PATH; empty when it
    // cannot be found.
    QString executable;
    QString startupWMClass;
    bool hidden = false;

    // Reads the [Desktop Entry] group; nothing when the file cannot be read
    // or is not an application entry.
    static std::optional<DesktopEntry> load(const QString &filePath, const QString &id, const QStringList &searchPath);
    // The first word of an Exec line, unquoted, skipping an "env NAME=value" prefix.
    static QString programOfExec(const QString &exec);
};

} // namespace tarni

#include "platform/xdg/XdgBrowserLauncher.h"

#include "platform/xdg/DefaultApplicationLookup.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace tarni {

namespace {

QStringList searchPath(const QProcessEnvironment &environment)
{
    return environment.value(QStringLiteral("PATH")).split(QDir::listSeparator(), Qt::SkipEmptyParts);
}

// The program a desktop entry runs as its Exec line names it: a Snap's
// /snap/bin/firefox is the program to start, though it links to snap itself.
QString programOf(const DesktopEntry &entry, const QStringList &path)
{
    const QString program = DesktopEntry::programOfExec(entry.exec);
    if (program.isEmpty() || program.contains(QChar(u'\0')))
        return {};
    if (program.contains(QLatin1Char('/'))) {
        const QFileInfo info(program);
        return info.isFile() && info.isExecutable() ? program : QString();
    }
    return path.isEmpty() ? QString() : QStandardPaths::findExecutable(program, path);
}

// WM_CLASS of the browser's windows: what its desktop entry says, else the
// catalogue's; Firefox's builds name their class after the program
// (firefox, firefox-esr).
QString windowClassOf(const BrowserInfo &browser, const QString &program, const QString &entryClass)
{
    if (!entryClass.isEmpty())
        return entryClass;
    if (browser.family == BrowserFamily::firefox && browser.executableList().contains(QFileInfo(program).fileName()))
        return QFileInfo(program).fileName();
    return QLatin1String(browser.windowClass);
}

} // namespace

std::optional<XdgBrowserLauncher::Choice> XdgBrowserLauncher::defaultBrowser() const
{
    const QStringList path = searchPath(m_options.environment);
    const QString xdgSettings = path.isEmpty() ? QString() : QStandardPaths::findExecutable(QStringLiteral("xdg-settings"), path);
    if (xdgSettings.isEmpty())
        return std::nullopt;
    QProcess process;
    process.setProgram(xdgSettings);
    process.setArguments({QStringLiteral("get"), QStringLiteral("default-web-browser")});
    process.setProcessEnvironment(m_options.environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForFinished(int(m_options.defaultBrowserTimeout.count()))) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    // One desktop entry id, such as "firefox-esr.desktop".
    const QByteArray output = process.read(4096);
    const QString id = QString::fromUtf8(output.left(output.indexOf('\n'))).trimmed();
    if (!id.endsWith(QStringLiteral(".desktop")))
        return std::nullopt;
    const auto entry = DefaultApplicationLookup(m_options.environment).findDesktopEntry(id);
    if (!entry || entry->hidden)
        return std::nullopt;
    const QString program = programOf(*entry, path);
    if (program.isEmpty())
        return std::nullopt;
    // The entry names the browser when its program is the browser's: a
    // Flatpak's entry runs flatpak, whose arguments are another matter.
    const BrowserInfo *browser = browserByExecutable(program);
    if (!browser)
        browser = browserByExecutable(entry->executable);
    if (!browser)
        return std::nullopt;
    return Choice{browser, {program, windowClassOf(*browser, program, entry->startupWMClass)}};
}

std::optional<XdgBrowserLauncher::Choice> XdgBrowserLauncher::choose() const
{
    if (auto chosen = defaultBrowser())
        return chosen;
    const DefaultApplicationLookup lookup(m_options.environment);
    for (const BrowserInfo &browser : browserCatalogue()) {
        const QString flatpakEntry = QLatin1String(browser.flatpakID) + QStringLiteral(".desktop");
        for (const QString &id : browser.desktopEntryList()) {
            if (id == flatpakEntry)
                continue;
            const auto entry = lookup.findDesktopEntry(id);
            if (entry && !entry->hidden && !entry->executable.isEmpty()) {
                return Choice{&browser, {entry->executable,
                                         windowClassOf(browser, entry->executable, entry->startupWMClass)}};
            }
        }
    }
    const QStringList path = searchPath(m_options.environment);
    if (path.isEmpty())
        return std::nullopt;
    for (const BrowserInfo &browser : browserCatalogue()) {
        for (const QString &name : browser.executableList()) {
            const QString program = QStandardPaths::findExecutable(name, path);
            if (!program.isEmpty())
                return Choice{&browser, {program, windowClassOf(browser, program, {})}};
        }
    }
    return std::nullopt;
}

std::optional<LaunchedBrowser> XdgBrowserLauncher::installedBrowser() const
{
    const auto chosen = choose();
    return chosen ? std::optional(chosen->launched) : std::nullopt;
}

std::optional<LaunchedBrowser> XdgBrowserLauncher::openInNewWindow(const QList<AcceptedAddress> &addresses)
{
    if (addresses.isEmpty())
        return std::nullopt;
    const auto chosen = choose();
    if (!chosen)
        return std::nullopt;
    QStringList arguments = m_options.extraArguments;
    QProcessEnvironment environment = m_options.environment;
    if (m_options.asX11Client && m_options.asX11Client()) {
        if (chosen->browser->family == BrowserFamily::chromium)
            arguments << QStringLiteral("--ozone-platform=x11");
        // Firefox, and a desktop entry whose wrapper hands over to it.
        environment.insert(QStringLiteral("MOZ_ENABLE_WAYLAND"), QStringLiteral("0"));
    }
    QStringList urls;
    for (const AcceptedAddress &address : addresses)
        urls << address.text();
    arguments << newWindowArguments(*chosen->browser, urls);
    QProcess process;
    process.setProgram(chosen->launched.executable);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        return std::nullopt;
    return chosen->launched;
}

} // namespace tarni

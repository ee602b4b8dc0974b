#include "platform/xdg/XdgBrowserLauncher.h"

#include "platform/xdg/DefaultApplicationLookup.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

namespace tarni {

namespace {

struct Candidate {
    const char *desktopEntry;
    const char *program;
    // What the browser puts in WM_CLASS when its desktop entry does not say.
    const char *windowClass;
};

// Chrome first: it is the browser the extension is made for.
constexpr Candidate kCandidates[] = {
    {"google-chrome.desktop", "google-chrome-stable", "google-chrome"},
    {"google-chrome.desktop", "google-chrome", "google-chrome"},
    {"chromium.desktop", "chromium", "chromium"},
    {"chromium-browser.desktop", "chromium-browser", "chromium-browser"},
};

} // namespace

std::optional<LaunchedBrowser> XdgBrowserLauncher::installedBrowser() const
{
    const DefaultApplicationLookup lookup(m_options.environment);
    for (const Candidate &c : kCandidates) {
        const auto entry = lookup.findDesktopEntry(QLatin1String(c.desktopEntry));
        if (entry && !entry->hidden && !entry->executable.isEmpty()) {
            return LaunchedBrowser{entry->executable, entry->startupWMClass.isEmpty()
                                                          ? QLatin1String(c.windowClass)
                                                          : entry->startupWMClass};
        }
    }
    const QStringList path =
        m_options.environment.value(QStringLiteral("PATH")).split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const Candidate &c : kCandidates) {
        const QString program = QStandardPaths::findExecutable(QLatin1String(c.program), path);
        if (!program.isEmpty())
            return LaunchedBrowser{program, QLatin1String(c.windowClass)};
    }
    return std::nullopt;
}

std::optional<LaunchedBrowser> XdgBrowserLauncher::openInNewWindow(const QList<AcceptedAddress> &addresses)
{
    const auto browser = installedBrowser();
    if (!browser || addresses.isEmpty())
        return std::nullopt;
    // Some browsers' wrapper scripts drop "--" and pass what follows on as
    // switches. It stays for the browsers that honour it; what keeps an
    // address from becoming a switch is that an accepted address always
    // starts with its scheme.
    QStringList arguments = m_options.extraArguments;
    QProcessEnvironment environment = m_options.environment;
    if (m_options.asX11Client && m_options.asX11Client()) {
        arguments << QStringLiteral("--ozone-platform=x11");
        // For a desktop entry whose wrapper hands over to Firefox.
        environment.insert(QStringLiteral("MOZ_ENABLE_WAYLAND"), QStringLiteral("0"));
    }
    arguments << QStringLiteral("--new-window") << QStringLiteral("--");
    for (const AcceptedAddress &address : addresses)
        arguments << address.text();
    QProcess process;
    process.setProgram(browser->executable);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        return std::nullopt;
    return browser;
}

} // namespace tarni

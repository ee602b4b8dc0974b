#include "chrome/NativeHostRegistration.h"

#include "chrome/ChromeExtensionIdentity.h"

#include "common/AtomicFile.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <filesystem>

namespace tarni {

namespace fs = std::filesystem;

namespace {

QStringList absoluteDirs(const QString &value, const QStringList &fallback)
{
    QStringList dirs;
    for (const QString &d : value.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(d))
            dirs << d;
    }
    return dirs.isEmpty() ? fallback : dirs;
}

bool isDirectory(const QString &path)
{
    return QFileInfo(path).isDir();
}

// A program on the PATH or a desktop entry; the Flatpak's and Snap's own
// entries do not count (they are found as such).
QString installedAt(const BrowserInfo &browser, const BrowserEnvironment &env)
{
    // An empty list would make findExecutable search our own PATH.
    if (!env.path.isEmpty()) {
        for (const QString &program : browser.executableList()) {
            const QString found = QStandardPaths::findExecutable(program, env.path);
            if (!found.isEmpty())
                return found;
        }
    }
    const QString flatpakEntry = QLatin1String(browser.flatpakID) + QStringLiteral(".desktop");
    for (const QString &id : browser.desktopEntryList()) {
        if (id == flatpakEntry || id.contains(QLatin1Char('_')))
            continue;
        for (const QString &dir : env.applicationDirs) {
            const QString entry = dir + QLatin1Char('/') + id;
            if (QFileInfo(entry).isFile())
                return entry;
        }
    }
    return {};
}

QString profileFolder(const BrowserInfo &browser, const BrowserEnvironment &env)
{
    if (browser.family == BrowserFamily::chromium)
        return env.configHome + QLatin1Char('/') + QLatin1String(browser.userFolder);
    return env.home + QLatin1Char('/') + QLatin1String(browser.profileFolder);
}

QString snapFolder(const BrowserInfo &browser, const BrowserEnvironment &env)
{
    if (QLatin1String(browser.key) != QLatin1String("firefox"))
        return {};
    if (const QString dir = env.home + QStringLiteral("/snap/firefox"); isDirectory(dir))
        return dir;
    if (const QString program = env.snapBinDir + QStringLiteral("/firefox"); QFileInfo::exists(program))
        return program;
    return {};
}

QString flatpakFolder(const BrowserInfo &browser, const BrowserEnvironment &env)
{
    return env.home + QStringLiteral("/.var/app/") + QLatin1String(browser.flatpakID);
}

QString manifestFolder(const BrowserRegistration &r, const BrowserEnvironment &env)
{
    const BrowserInfo &b = *r.browser;
    const bool chromium = b.family == BrowserFamily::chromium;
    // A Flatpak browser's configuration lives in its own folder: Chromium's
    // family under config/, the Firefox family's dot folder at its top.
    QString base = chromium ? env.configHome : env.home;
    if (r.packaging == BrowserPackaging::flatpak)
        base = flatpakFolder(b, env) + (chromium ? QStringLiteral("/config") : QString());
    return base + QLatin1Char('/') + QLatin1String(b.userFolder) +
           (chromium ? QStringLiteral("/NativeMessagingHosts") : QStringLiteral("/native-messaging-hosts"));
}

BrowserRegistration foundAt(const BrowserInfo &browser, BrowserPackaging packaging, const QString &at)
{
    BrowserRegistration r;
    r.browser = &browser;
    r.packaging = packaging;
    r.foundAt = at;
    return r;
}

std::string hostManifest(const QString &hostPath, const char *allowedKey, const QString &allowed)
{
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    const auto string = [&](const QString &text) {
        const QByteArray utf8 = text.toUtf8();
        w.String(utf8.constData(), rapidjson::SizeType(utf8.size()));
    };
    w.StartObject();
    w.Key(allowedKey);
    w.StartArray();
    string(allowed);
    w.EndArray();
    w.Key("description");
    string(QStringLiteral("Tarni Bar native messaging host"));
    w.Key("name");
    string(QString::fromLatin1(kNativeHostName));
    w.Key("path");
    string(hostPath);
    w.Key("type");
    string(QStringLiteral("stdio"));
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::optional<ChromeBridgeError> writeInto(const QString &folder, const std::string &name, const std::string &bytes,
                                           unsigned mode)
{
    const fs::path dir = folder.toStdString();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        return ChromeBridgeError{ChromeBridgeError::Code::cannotWriteManifest,
                                 QString::fromStdString("cannot create \"" + dir.string() + "\": " + ec.message())};
    std::string error;
    if (!writeFileAtomically(dir / name, bytes, &error, mode))
        return ChromeBridgeError{ChromeBridgeError::Code::cannotWriteManifest, QString::fromStdString(error)};
    return std::nullopt;
}

} // namespace

BrowserEnvironment BrowserEnvironment::fromProcessEnvironment(const QProcessEnvironment &environment)
{
    BrowserEnvironment env;
    env.home = environment.value(QStringLiteral("HOME"));
    if (!QDir::isAbsolutePath(env.home))
        env.home = QDir::homePath();
    env.configHome = absoluteDirs(environment.value(QStringLiteral("XDG_CONFIG_HOME")),
                                  {env.home + QStringLiteral("/.config")})
                         .first();
    env.path = environment.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    env.applicationDirs << absoluteDirs(environment.value(QStringLiteral("XDG_DATA_HOME")),
                                        {env.home + QStringLiteral("/.local/share")})
                               .first();
    env.applicationDirs << absoluteDirs(environment.value(QStringLiteral("XDG_DATA_DIRS")),
                                        {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")});
    for (QString &dir : env.applicationDirs)
        dir += QStringLiteral("/applications");
    return env;
}

std::vector<BrowserRegistration> findBrowsers(const BrowserEnvironment &env)
{
    std::vector<BrowserRegistration> found;
    for (const BrowserInfo &browser : browserCatalogue()) {
        // Ubuntu's firefox program only starts the Snap: the Snap is what runs.
        if (const QString snap = snapFolder(browser, env); !snap.isEmpty()) {
            found.push_back(foundAt(browser, BrowserPackaging::snap, snap));
        } else {
            QString at = installedAt(browser, env);
            if (at.isEmpty() && isDirectory(profileFolder(browser, env)))
                at = profileFolder(browser, env);
            if (!at.isEmpty())
                found.push_back(foundAt(browser, BrowserPackaging::native, at));
        }
        if (*browser.flatpakID && isDirectory(flatpakFolder(browser, env)))
            found.push_back(foundAt(browser, BrowserPackaging::flatpak, flatpakFolder(browser, env)));
    }
    return found;
}

std::string chromiumHostManifest(const QString &hostPath, const QString &extensionID)
{
    return hostManifest(hostPath, "allowed_origins", QStringLiteral("chrome-extension://") + extensionID + QLatin1Char('/'));
}

std::string firefoxHostManifest(const QString &hostPath, const QString &extensionID)
{
    return hostManifest(hostPath, "allowed_extensions", extensionID);
}

std::optional<std::string> flatpakWrapperScript(const QString &hostPath)
{
    if (!hostPath.startsWith(QLatin1Char('/')))
        return std::nullopt;
    for (const QChar c : hostPath) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Format ||
            c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            return std::nullopt;
    }
    // Inside single quotes sh takes every byte as it is but the quote itself.
    QString quoted = hostPath;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return "#!/bin/sh\n"
           "# Tarni Bar's native host runs outside the Flatpak sandbox this browser runs in.\n"
           "exec flatpak-spawn --host '" + quoted.toStdString() + "' \"$@\"\n";
}

std::vector<BrowserRegistration> registerNativeHost(const BrowserEnvironment &env, const NativeHostIdentity &identity)
{
    std::vector<BrowserRegistration> registrations = findBrowsers(env);
    const std::string manifestName = kNativeHostManifestFileName;
    const std::string wrapperName = std::string(kNativeHostProgramName) + ".sh";
    for (BrowserRegistration &r : registrations) {
        const BrowserInfo &b = *r.browser;
        const QString folder = manifestFolder(r, env);
        QString hostPath = identity.hostPath;
        if (r.packaging == BrowserPackaging::flatpak) {
            const auto script = flatpakWrapperScript(identity.hostPath);
            if (!script) {
                r.error = ChromeBridgeError{ChromeBridgeError::Code::cannotWriteManifest,
                                            QStringLiteral("The host's path cannot be written into a script.")};
                continue;
            }
            // The sandbox sees its own folder under the same path.
            if ((r.error = writeInto(folder, wrapperName, *script, 0755)))
                continue;
            hostPath = folder + QLatin1Char('/') + QString::fromStdString(wrapperName);
            r.wrapperPath = hostPath;
            r.permissionCommand = QStringLiteral("flatpak override --user --talk-name=org.freedesktop.Flatpak ") +
                                  QLatin1String(b.flatpakID);
        }
        const std::string manifest = b.family == BrowserFamily::chromium
                                         ? chromiumHostManifest(hostPath, identity.chromiumExtensionID)
                                         : firefoxHostManifest(hostPath, identity.firefoxExtensionID);
        // The browser reads it as the same user; nothing in it is private.
        if ((r.error = writeInto(folder, manifestName, manifest, 0644)))
            continue;
        r.manifestPath = folder + QLatin1Char('/') + QString::fromStdString(manifestName);
    }
    return registrations;
}

} // namespace tarni

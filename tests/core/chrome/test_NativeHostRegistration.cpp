#include "chrome/ChromeExtensionIdentity.h"
#include "chrome/NativeHostRegistration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

void writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
    f.close();
    if (executable)
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QJsonObject readJson(const QString &path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QJsonDocument::fromJson(f.readAll()).object();
}

QString describe(const BrowserRegistration &r)
{
    static const char *const kinds[] = {"native", "flatpak", "snap"};
    return QLatin1String(r.browser->key) + QLatin1Char(':') + QLatin1String(kinds[int(r.packaging)]);
}

struct MadeUpHome {
    QTemporaryDir dir;
    BrowserEnvironment env;
    QString path(const QString &relative) const { return dir.filePath(relative); }

    MadeUpHome()
    {
        env.home = path(QStringLiteral("home"));
        env.configHome = path(QStringLiteral("home/cfg"));
        env.path = {path(QStringLiteral("bin"))};
        env.applicationDirs = {path(QStringLiteral("apps"))};
        env.snapBinDir = path(QStringLiteral("snap-bin"));
        QDir().mkpath(env.home);
    }
};

// One home with a browser of each kind: installed (program, desktop entry),
// only set up (profile folder), sandboxed (Flatpak, Snap).
TEST(NativeHostRegistration, EachBrowserFoundGetsItsFamilysManifestWhereItLooks)
{
    MadeUpHome h;
    const QString host = h.path(QStringLiteral("data/it's a host/TarniBarChromeHost"));
    writeFile(host, "#!/bin/sh\nprintf '%s\\n' host \"$@\"\n", true);
    writeFile(h.path(QStringLiteral("bin/google-chrome-stable")), "#!/bin/sh\n", true);
    writeFile(h.path(QStringLiteral("bin/librewolf")), "#!/bin/sh\n", true);
    writeFile(h.path(QStringLiteral("apps/microsoft-edge-beta.desktop")), "[Desktop Entry]\n");
    // A Flatpak's own desktop entry is not a native installation.
    writeFile(h.path(QStringLiteral("apps/org.chromium.Chromium.desktop")), "[Desktop Entry]\n");
    QDir().mkpath(h.path(QStringLiteral("home/cfg/BraveSoftware/Brave-Browser")));
    QDir().mkpath(h.path(QStringLiteral("home/cfg/opera")));
    QDir().mkpath(h.path(QStringLiteral("home/.mozilla/firefox")));
    QDir().mkpath(h.path(QStringLiteral("home/snap/firefox")));
    QDir().mkpath(h.path(QStringLiteral("home/.var/app/org.chromium.Chromium")));
    QDir().mkpath(h.path(QStringLiteral("home/.var/app/org.mozilla.firefox")));
    QDir().mkpath(h.path(QStringLiteral("home/.var/app/org.example.NotABrowser")));

    const auto registrations = registerNativeHost(h.env, {host, QStringLiteral("abcdef"), QString::fromLatin1(kFirefoxExtensionID)});
    QStringList found;
    for (const BrowserRegistration &r : registrations) {
        found << describe(r);
        EXPECT_FALSE(r.error) << describe(r).toStdString() << ": " << r.error->description().toStdString();
    }
    EXPECT_EQ(found, (QStringList{QStringLiteral("google-chrome:native"), QStringLiteral("chromium:flatpak"),
                                  QStringLiteral("brave:native"), QStringLiteral("microsoft-edge-beta:native"),
                                  QStringLiteral("opera:native"), QStringLiteral("firefox:snap"),
                                  QStringLiteral("firefox:flatpak"), QStringLiteral("librewolf:native")}));
    ASSERT_EQ(registrations.size(), 8u);
    EXPECT_EQ(registrations[0].foundAt, h.path(QStringLiteral("bin/google-chrome-stable")));
    EXPECT_EQ(registrations[3].foundAt, h.path(QStringLiteral("apps/microsoft-edge-beta.desktop")));

    const QString name = QStringLiteral("/com.tarni.bar.chrome.json");
    const auto expectManifest = [&](std::size_t index, const QString &folder, const QString &hostPath) {
        SCOPED_TRACE(describe(registrations[index]).toStdString());
        EXPECT_EQ(registrations[index].manifestPath, h.path(folder) + name);
        const QJsonObject m = readJson(h.path(folder) + name);
        EXPECT_EQ(m[QLatin1String("name")].toString(), QLatin1String(kNativeHostName));
        EXPECT_EQ(m[QLatin1String("type")].toString(), QStringLiteral("stdio"));
        EXPECT_EQ(m[QLatin1String("path")].toString(), hostPath);
        if (registrations[index].browser->family == BrowserFamily::chromium) {
            EXPECT_EQ(m[QLatin1String("allowed_origins")].toArray(), QJsonArray{QStringLiteral("chrome-extension://abcdef/")});
            EXPECT_FALSE(m.contains(QLatin1String("allowed_extensions")));
        } else {
            EXPECT_EQ(m[QLatin1String("allowed_extensions")].toArray(), QJsonArray{QLatin1String(kFirefoxExtensionID)});
            EXPECT_FALSE(m.contains(QLatin1String("allowed_origins")));
        }
    };
    expectManifest(0, QStringLiteral("home/cfg/google-chrome/NativeMessagingHosts"), host);
    expectManifest(2, QStringLiteral("home/cfg/BraveSoftware/Brave-Browser/NativeMessagingHosts"), host);
    expectManifest(3, QStringLiteral("home/cfg/microsoft-edge-beta/NativeMessagingHosts"), host);
    expectManifest(4, QStringLiteral("home/cfg/opera/NativeMessagingHosts"), host);
    // The Snap's portal reads the ordinary folder.
    expectManifest(5, QStringLiteral("home/.mozilla/native-messaging-hosts"), host);
    expectManifest(7, QStringLiteral("home/.librewolf/native-messaging-hosts"), host);
    // A Flatpak browser starts the wrapper beside its manifest, in its own folder.
    const QString chromiumSandbox = QStringLiteral("home/.var/app/org.chromium.Chromium/config/chromium/NativeMessagingHosts");
    const QString firefoxSandbox = QStringLiteral("home/.var/app/org.mozilla.firefox/.mozilla/native-messaging-hosts");
    expectManifest(1, chromiumSandbox, h.path(chromiumSandbox) + QStringLiteral("/TarniBarChromeHost.sh"));
    expectManifest(6, firefoxSandbox, h.path(firefoxSandbox) + QStringLiteral("/TarniBarChromeHost.sh"));
    EXPECT_EQ(registrations[1].wrapperPath, h.path(chromiumSandbox) + QStringLiteral("/TarniBarChromeHost.sh"));
    EXPECT_EQ(registrations[6].permissionCommand,
              QStringLiteral("flatpak override --user --talk-name=org.freedesktop.Flatpak org.mozilla.firefox"));
    EXPECT_TRUE(registrations[0].wrapperPath.isEmpty());
    EXPECT_TRUE(registrations[0].permissionCommand.isEmpty());
    for (const char *absent : {"home/cfg/chromium", "home/cfg/vivaldi", "home/cfg/microsoft-edge", "home/cfg/google-chrome-beta"})
        EXPECT_FALSE(QFileInfo::exists(h.path(QString::fromLatin1(absent)))) << absent;

    // The wrapper, run as the sandbox runs it, hands the browser's arguments
    // to the host outside (here a flatpak-spawn that runs what --host names).
    const QString wrapper = registrations[1].wrapperPath;
    EXPECT_EQ(QFileInfo(wrapper).permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther),
              QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    writeFile(h.path(QStringLiteral("sandbox-bin/flatpak-spawn")),
              "#!/bin/sh\n[ \"$1\" = --host ] || exit 9\nshift\nexec \"$@\"\n", true);
    QProcess run;
    QProcessEnvironment sandbox;
    sandbox.insert(QStringLiteral("PATH"), h.path(QStringLiteral("sandbox-bin")) + QStringLiteral(":/usr/bin:/bin"));
    run.setProcessEnvironment(sandbox);
    run.start(wrapper, {QStringLiteral("chrome-extension://abcdef/"), QStringLiteral("$(touch x) '")});
    ASSERT_TRUE(run.waitForFinished(10000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    EXPECT_EQ(run.readAllStandardOutput(), QByteArray("host\nchrome-extension://abcdef/\n$(touch x) '\n"));
}

// Only a plain absolute path goes into the wrapper, single-quoted; a browser
// whose folder cannot be written keeps its error while the others are written.
TEST(NativeHostRegistration, TheWrapperTakesOnlyPlainAbsolutePathsAndOneFailureStopsNoOther)
{
    for (const QString &bad : {QStringLiteral("relative/host"), QStringLiteral("/a\nb"), QStringLiteral("/a\rb"),
                               QStringLiteral("/a\x01" "b"), QStringLiteral("/a\u2028b"), QString()})
        EXPECT_FALSE(flatpakWrapperScript(bad)) << bad.toStdString();
    EXPECT_EQ(flatpakWrapperScript(QStringLiteral("/opt/it's/host")),
              std::optional<std::string>("#!/bin/sh\n"
                                         "# Tarni Bar's native host runs outside the Flatpak sandbox this browser runs in.\n"
                                         "exec flatpak-spawn --host '/opt/it'\\''s/host' \"$@\"\n"));

    MadeUpHome h;
    QDir().mkpath(h.path(QStringLiteral("home/cfg/vivaldi")));
    QDir().mkpath(h.path(QStringLiteral("home/.var/app/com.brave.Browser")));
    // A file where Chromium's folder would go.
    writeFile(h.path(QStringLiteral("home/cfg/chromium")), "not a folder");
    writeFile(h.path(QStringLiteral("bin/chromium")), "#!/bin/sh\n", true);
    const auto registrations = registerNativeHost(h.env, {QStringLiteral("/opt/host\nrm -rf ~"), QStringLiteral("id"),
                                                          QString::fromLatin1(kFirefoxExtensionID)});
    ASSERT_EQ(registrations.size(), 3u);
    EXPECT_EQ(describe(registrations[0]), QStringLiteral("chromium:native"));
    EXPECT_TRUE(registrations[0].error);
    EXPECT_TRUE(registrations[0].manifestPath.isEmpty());
    EXPECT_EQ(describe(registrations[1]), QStringLiteral("brave:flatpak"));
    ASSERT_TRUE(registrations[1].error);
    EXPECT_TRUE(registrations[1].wrapperPath.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(h.path(QStringLiteral("home/.var/app/com.brave.Browser/config"))));
    EXPECT_EQ(describe(registrations[2]), QStringLiteral("vivaldi:native"));
    EXPECT_FALSE(registrations[2].error);
    EXPECT_TRUE(QFileInfo::exists(registrations[2].manifestPath));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

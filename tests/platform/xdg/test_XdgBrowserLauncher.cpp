#include "OpeningTestSupport.h"

#include "model/EntryRules.h"
#include "opening/ChromeProvider.h"
#include "platform/xdg/XdgBrowserLauncher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;

namespace {

// Which browser is chosen, from desktop entries and programs of the test's own.
TEST(XdgBrowserLauncher, PrefersChromeThenChromiumThenAProgramOnThePath)
{
    QTemporaryDir dir;
    const auto path = [&](const char *relative) { return dir.filePath(QString::fromUtf8(relative)); };
    QDir().mkpath(path("bin"));
    QDir().mkpath(path("data/applications"));
    for (const char *program : {"bin/google-chrome", "bin/chromium"}) {
        QFile f(path(program));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n");
        f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }
    const auto entry = [&](const char *id, const char *program, const QByteArray &extra) {
        QFile f(path("data/applications/") + QString::fromUtf8(id));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Desktop Entry]\nType=Application\nName=B\nExec=" + QByteArray(program) + " %U\n" + extra);
    };
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), path("bin"));
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
    env.insert(QStringLiteral("XDG_DATA_DIRS"), path("none"));
    const auto chosen = [&] { return XdgBrowserLauncher({env, {}}).installedBrowser(); };

    EXPECT_EQ(chosen(), (LaunchedBrowser{path("bin/google-chrome"), QStringLiteral("google-chrome")}));
    QFile::remove(path("bin/google-chrome"));
    EXPECT_EQ(chosen(), (LaunchedBrowser{path("bin/chromium"), QStringLiteral("chromium")}));

    entry("chromium.desktop", "chromium", "StartupWMClass=Chromium-test\n");
    EXPECT_EQ(chosen(), (LaunchedBrowser{path("bin/chromium"), QStringLiteral("Chromium-test")}));
    entry("google-chrome.desktop", "chromium", {}); // installed, whatever its program
    EXPECT_EQ(chosen(), (LaunchedBrowser{path("bin/chromium"), QStringLiteral("google-chrome")}));

    env.insert(QStringLiteral("PATH"), path("none"));
    EXPECT_FALSE(chosen());
    EXPECT_FALSE(XdgBrowserLauncher({env, {}}).openInNewWindow({*EntryRules::webAddress(QStringLiteral("https://example.com/"))}));
}

// Debian's chromium is a shell script whose argument loop drops "--" and
// passes everything after it on as switches. Restoring tabs from an imported
// file through such a browser must hand it nothing but accepted addresses.
TEST(XdgBrowserLauncher, AWrapperThatDropsTheEndOfSwitchesGetsOnlyAcceptedAddresses)
{
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("arguments"));
    const QString wrapper = dir.filePath(QStringLiteral("bin/chromium"));
    ASSERT_TRUE(writeFile(wrapper, "#!/bin/sh\nfor a in \"$@\"; do [ \"$a\" = -- ] && continue; printf '%s\\n' \"$a\"; done > \""
                                       + record.toUtf8() + ".part\"\n/bin/mv \"" + record.toUtf8() + ".part\" \"" +
                                       record.toUtf8() + "\"\n"));
    QFile(wrapper).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), dir.filePath(QStringLiteral("bin")));
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_DATA_DIRS"), dir.filePath(QStringLiteral("none")));
    XdgBrowserLauncher launcher({env, {}});
    SimulatedBridge bridge;
    bridge.connected = false;
    ChromeStateCache bindings;
    ChromeProvider provider(bridge, bindings, ChromeWithoutExtension{&launcher, nullptr, nullptr, 1000});

    NodeList tabs;
    for (const char *url : {"--utility-cmd-prefix=/tmp/run.sh", "https://a.example/", "--proxy-server=evil.example:1",
                            "--load-extension=/tmp/ext", "--remote-debugging-port=9222", "javascript:alert(1)",
                            "file:///etc/passwd", " http://b.example/x y", "-", "data:text/html,x"})
        tabs.append(tab(QString::fromUtf8(url)));
    const RestoreOutcome restored = runTask(provider.restore(tabs, {}));
    ASSERT_TRUE(restored.ok());
    ASSERT_EQ(restored->results.size(), 2);
    EXPECT_EQ(restored->results[0].summary, QStringLiteral("Restored 2 tabs in a new browser window"));
    EXPECT_EQ(restored->results[1].summary, QStringLiteral("Skipped 8 entries that are not web addresses"));

    ASSERT_TRUE(spinUntil([&] { return QFile::exists(record); }));
    QFile f(record);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts),
              (QStringList{QStringLiteral("--new-window"), QStringLiteral("https://a.example/"),
                           QStringLiteral("http://b.example/x%20y")}));
}

// The default browser is started when the catalogue knows it; a default
// we cannot start with a new window (a Flatpak's entry runs flatpak, an
// unknown program) falls back to the catalogue's order. Firefox has no "--"
// and takes one address per --new-window.
TEST(XdgBrowserLauncher, StartsTheDefaultBrowserWhenItKnowsHowToOpenAWindowOfIt)
{
    QTemporaryDir dir;
    const auto path = [&](const char *relative) { return dir.filePath(QString::fromUtf8(relative)); };
    const QByteArray record = path("record").toUtf8();
    const QByteArray recorder = "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"" + record + ".part\"\n/bin/mv \"" + record +
                                ".part\" \"" + record + "\"\n";
    for (const char *program : {"bin/firefox-esr", "bin/chromium", "bin/flatpak", "bin/mybrowser"}) {
        ASSERT_TRUE(writeFile(path(program), recorder));
        QFile(path(program)).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }
    const auto entry = [&](const char *id, const char *exec) {
        ASSERT_TRUE(writeFile(path("data/applications/") + QString::fromUtf8(id),
                              "[Desktop Entry]\nType=Application\nName=B\nExec=" + QByteArray(exec) + "\n"));
    };
    entry("firefox-esr.desktop", "firefox-esr %u");
    entry("chromium.desktop", "chromium %U");
    entry("org.mozilla.firefox.desktop", "flatpak run --branch=stable org.mozilla.firefox @@u %u @@");
    entry("my-browser.desktop", "mybrowser %u");
    const auto setDefault = [&](const QByteArray &answer) {
        ASSERT_TRUE(writeFile(path("bin/xdg-settings"),
                              "#!/bin/sh\n[ \"$*\" = 'get default-web-browser' ] || exit 3\necho '" + answer + "'\n"));
        QFile(path("bin/xdg-settings")).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    };
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), path("bin"));
    env.insert(QStringLiteral("HOME"), dir.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
    env.insert(QStringLiteral("XDG_DATA_DIRS"), path("none"));
    const auto opened = [&](const QStringList &urls) {
        QFile::remove(QString::fromUtf8(record));
        QList<AcceptedAddress> addresses;
        for (const QString &url : urls)
            addresses << *EntryRules::webAddress(url);
        const auto launched = XdgBrowserLauncher({env, {}}).openInNewWindow(addresses);
        EXPECT_TRUE(launched);
        EXPECT_TRUE(spinUntil([&] { return QFile::exists(QString::fromUtf8(record)); }));
        QFile f(QString::fromUtf8(record));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
        if (!lines.isEmpty())
            lines[0] = QFileInfo(lines[0]).fileName();
        return lines;
    };
    const QString a = QStringLiteral("https://a.example/");
    const QString b = QStringLiteral("https://b.example/");

    setDefault("firefox-esr.desktop");
    EXPECT_EQ(XdgBrowserLauncher({env, {}}).installedBrowser(),
              (LaunchedBrowser{path("bin/firefox-esr"), QStringLiteral("firefox-esr")}));
    EXPECT_EQ(opened({a}), (QStringList{QStringLiteral("firefox-esr"), QStringLiteral("--new-window"), a}));
    EXPECT_EQ(opened({a, b}), (QStringList{QStringLiteral("firefox-esr"), a, b}));

    for (const QByteArray &unusable : {QByteArray("org.mozilla.firefox.desktop"), QByteArray("my-browser.desktop"),
                                       QByteArray("missing.desktop"), QByteArray("../x.desktop"), QByteArray("")}) {
        SCOPED_TRACE(unusable.toStdString());
        setDefault(unusable);
        EXPECT_EQ(opened({a}), (QStringList{QStringLiteral("chromium"), QStringLiteral("--new-window"),
                                            QStringLiteral("--"), a}));
    }
    // Without the entries, the programs on the PATH in the catalogue's order.
    QFile::remove(path("data/applications/chromium.desktop"));
    QFile::remove(path("data/applications/firefox-esr.desktop"));
    EXPECT_EQ(opened({a, b}), (QStringList{QStringLiteral("chromium"), QStringLiteral("--new-window"),
                                           QStringLiteral("--"), a, b}));
}

// On a Wayland session the browser must open an X11 window, the only kind
// we can place there; elsewhere it keeps its own choice.
TEST(XdgBrowserLauncher, StartsTheBrowserAsAnX11ClientOnlyWhenAsked)
{
    for (const bool asX11Client : {false, true}) {
        SCOPED_TRACE(asX11Client);
        QTemporaryDir dir;
        const QByteArray record = dir.filePath(QStringLiteral("record")).toUtf8();
        const QString wrapper = dir.filePath(QStringLiteral("bin/chromium"));
        ASSERT_TRUE(writeFile(wrapper, "#!/bin/sh\n{ echo \"moz=$MOZ_ENABLE_WAYLAND\"; printf '%s\\n' \"$@\"; } > \""
                                           + record + ".part\"\n/bin/mv \"" + record + ".part\" \"" + record + "\"\n"));
        QFile(wrapper).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), dir.filePath(QStringLiteral("bin")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_DATA_DIRS"), dir.filePath(QStringLiteral("none")));
        XdgBrowserLauncher launcher({env, {}, [asX11Client] { return asX11Client; }});
        ASSERT_TRUE(launcher.openInNewWindow({*EntryRules::webAddress(QStringLiteral("https://a.example/"))}));

        ASSERT_TRUE(spinUntil([&] { return QFile::exists(QString::fromUtf8(record)); }));
        QFile f(QString::fromUtf8(record));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QStringList expected{asX11Client ? QStringLiteral("moz=0") : QStringLiteral("moz=")};
        if (asX11Client)
            expected << QStringLiteral("--ozone-platform=x11");
        expected << QStringLiteral("--new-window") << QStringLiteral("--") << QStringLiteral("https://a.example/");
        EXPECT_EQ(QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts), expected);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "platform/xdg/XdgBrowserLauncher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

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
    EXPECT_FALSE(XdgBrowserLauncher({env, {}}).openInNewWindow({QStringLiteral("https://example.com/")}));
}

} // namespace

#include "platform/xdg/DefaultApplicationLookup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

class DefaultApplicationLookupTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        // Two programs on a private PATH.
        for (const char *name : {"viewer", "editor", "browser"}) {
            const QString path = this->path("bin/") + QLatin1String(name);
            write(path, "#!/bin/sh\n");
            QFile(path).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
        m_env.insert(QStringLiteral("HOME"), path("home"));
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), path("config"));
        m_env.insert(QStringLiteral("XDG_CONFIG_DIRS"), path("etc"));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), path("data"));
        m_env.insert(QStringLiteral("XDG_DATA_DIRS"), path("share1") + u':' + path("share2"));
        m_env.insert(QStringLiteral("PATH"), path("bin"));
    }

    QString path(const char *relative) const { return m_dir.filePath(QLatin1String(relative)); }

    static void write(const QString &file, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

    void entry(const char *folder, const char *id, const QByteArray &exec, const QByteArray &extra = {})
    {
        write(path(folder) + u'/' + QLatin1String(id),
              "[Desktop Entry]\nType=Application\nName=X\nExec=" + exec + "\n" + extra);
    }

    QString defaultId(const QString &mime) const
    {
        const auto found = DefaultApplicationLookup(m_env).defaultApplication(mime);
        return found ? found->id : QString();
    }

    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
};

} // namespace

TEST_F(DefaultApplicationLookupTest, UserChoiceWinsOverSystemChoiceAndDesktopSpecificListsComeFirst)
{
    entry("data/applications", "viewer.desktop", "viewer %f");
    entry("share1/applications", "editor.desktop", "editor %U");
    write(path("share1/applications/mimeapps.list"), "[Default Applications]\ntext/plain=editor.desktop\n");
    EXPECT_EQ(defaultId(QStringLiteral("text/plain")), QStringLiteral("editor.desktop"));

    // Only the group's first line for the type itself counts.
    write(path("config/mimeapps.list"), "[Removed Associations]\ntext/plain=editor.desktop\n"
                                        "[Default Applications] x\ntext/plain=editor.desktop\n"
                                        "[Default Applications]\ntext/plainx=editor.desktop\n"
                                        "  text/plain = viewer.desktop \r\ntext/plain=editor.desktop\n");
    const auto found = DefaultApplicationLookup(m_env).defaultApplication(QStringLiteral("text/plain"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, QStringLiteral("viewer.desktop"));
    EXPECT_EQ(found->executable, QFileInfo(path("bin/viewer")).canonicalFilePath());

    // Missing entries of the desktop's own list are skipped.
    write(path("config/xfce-mimeapps.list"), "[Default Applications]\ntext/plain=gone.desktop;editor.desktop;\n");
    EXPECT_EQ(defaultId(QStringLiteral("text/plain")), QStringLiteral("viewer.desktop"));
    m_env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("XFCE"));
    EXPECT_EQ(defaultId(QStringLiteral("text/plain")), QStringLiteral("editor.desktop"));
}

TEST_F(DefaultApplicationLookupTest, FallsBackToDeclaredTypesAndToParentTypes)
{
    entry("share2/applications", "browser.desktop", "browser");
    write(path("share2/applications/mimeinfo.cache"), "[MIME Cache]\ninode/directory=browser.desktop;\n");
    EXPECT_EQ(defaultId(QStringLiteral("inode/directory")), QStringLiteral("browser.desktop"));

    // C source is a kind of plain text: the plain-text default opens it.
    entry("data/applications", "viewer.desktop", "viewer");
    write(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=viewer.desktop\n");
    EXPECT_EQ(defaultId(QStringLiteral("text/x-csrc")), QStringLiteral("viewer.desktop"));
    EXPECT_EQ(defaultId(QStringLiteral("image/png")), QString());
    EXPECT_EQ(defaultId(QString()), QString());
}

TEST_F(DefaultApplicationLookupTest, HiddenEntriesShadowAndVendorIdsNest)
{
    entry("data/applications", "viewer.desktop", "viewer", "Hidden=true\n");
    entry("share1/applications", "viewer.desktop", "viewer");
    entry("share1/applications/org", "editor.desktop", "editor");
    // An id with tens of thousands of dashes names no file; it is passed over
    // without trying each of its nested forms.
    write(path("config/mimeapps.list"), "[Default Applications]\ntext/plain=" + QByteArray("a-").repeated(30'000) +
                                            ".desktop;viewer.desktop;org-editor.desktop\napplication/pdf=../../bin/viewer\n");
    const auto found = DefaultApplicationLookup(m_env).defaultApplication(QStringLiteral("text/plain"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, QStringLiteral("org-editor.desktop"));
    EXPECT_EQ(found->executable, QFileInfo(path("bin/editor")).canonicalFilePath());
    // An id never reaches outside the applications folders.
    EXPECT_EQ(defaultId(QStringLiteral("application/pdf")), QString());
}

TEST_F(DefaultApplicationLookupTest, ExecLinesNameTheirProgram)
{
    struct Case {
        QString exec;
        QString program;
    };
    const Case cases[] = {
        {QStringLiteral("viewer %f"), QStringLiteral("viewer")},
        {QStringLiteral("\"/opt/My App/run\" --new %U"), QStringLiteral("/opt/My App/run")},
        {QStringLiteral("env LANG=C GDK_BACKEND=x11 editor %F"), QStringLiteral("editor")},
        {QStringLiteral("\"quoted \\\"inner\\\" name\""), QStringLiteral("quoted \"inner\" name")},
        {QStringLiteral("   "), QString()},
        {QString(), QString()},
    };
    for (const Case &c : cases)
        EXPECT_EQ(DesktopEntry::programOfExec(c.exec), c.program) << c.exec.toStdString();
}

TEST_F(DefaultApplicationLookupTest, ProgramsResolveThroughPathOrNotAtAll)
{
    entry("data/applications", "viewer.desktop", "viewer %f");
    entry("data/applications", "absent.desktop", "no-such-program %f", "TryExec=editor\n");
    entry("data/applications", "nothing.desktop", "no-such-program %f");
    write(path("data/applications/link.desktop"), "[Desktop Entry]\nType=Link\nURL=https://example.com\n");
    const DefaultApplicationLookup lookup(m_env);
    EXPECT_EQ(lookup.findDesktopEntry(QStringLiteral("absent.desktop"))->executable,
              QFileInfo(path("bin/editor")).canonicalFilePath());
    EXPECT_TRUE(lookup.findDesktopEntry(QStringLiteral("nothing.desktop"))->executable.isEmpty());
    EXPECT_FALSE(lookup.findDesktopEntry(QStringLiteral("link.desktop")));
    EXPECT_FALSE(lookup.findDesktopEntry(QStringLiteral("missing.desktop")));
}

TEST(DefaultApplicationLookupPaths, FoldersAreDirectoriesAndFilesHaveTheirType)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_EQ(DefaultApplicationLookup::mimeTypeOfPath(dir.path()), QStringLiteral("inode/directory"));
    // A path that cannot be read counts as a file, typed by its name.
    EXPECT_EQ(DefaultApplicationLookup::mimeTypeOfPath(dir.filePath(QStringLiteral("missing.txt"))),
              QStringLiteral("text/plain"));
}

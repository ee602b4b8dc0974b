// Installing a bundle beside the running one: the switch of the link, and
// archives that try to write elsewhere or hide what they are.

#include "TarWriter.h"

#include "update/TarballInstaller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::test;
namespace fs = std::filesystem;

namespace {

class TarballInstallerTest : public ::testing::Test {
protected:
    TarballInstallerTest()
    {
        current = fs::path(place.path().toStdString()) / "tarnibar-0.1.0-Linux";
        fs::create_directories(current / "bin");
    }

    QString write(const QByteArray &bytes)
    {
        const QString path = archives.filePath(QStringLiteral("a%1.tar.gz").arg(++m_count));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return path;
    }
    QStringList placeEntries() const
    {
        return QDir(place.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    }
    QString linkTarget() const { return QFileInfo(place.filePath(QStringLiteral("tarnibar-current"))).symLinkTarget(); }

    QTemporaryDir place;
    QTemporaryDir archives;
    fs::path current;
    int m_count = 0;
};

} // namespace

TEST_F(TarballInstallerTest, ABundleIsUnpackedBesideAndTheLinkSwitchedToIt)
{
    const auto first = installTarball(write(bundle("tarnibar-0.2.0-Linux")), current);
    ASSERT_TRUE(first) << qPrintable(first.error().text());
    EXPECT_EQ(linkTarget(), place.filePath(QStringLiteral("tarnibar-0.2.0-Linux")));
    EXPECT_EQ(QString::fromStdString(first->executable.string()),
              place.filePath(QStringLiteral("tarnibar-current/bin/tarnibar")));
    QFile program(QString::fromStdString(first->executable.string()));
    ASSERT_TRUE(program.open(QIODevice::ReadOnly));
    EXPECT_EQ(program.readAll(), QByteArray("#!/bin/sh\necho new\n"));
    EXPECT_TRUE(QFileInfo(program).isExecutable());
    EXPECT_EQ(fs::read_symlink(fs::path(place.path().toStdString()) / "tarnibar-current/lib/libx.so"), "libx.so.1");

    // The next release replaces the link in one step; the old copies stay.
    ASSERT_TRUE(installTarball(write(bundle("tarnibar-0.3.0-Linux")), current));
    EXPECT_EQ(linkTarget(), place.filePath(QStringLiteral("tarnibar-0.3.0-Linux")));
    EXPECT_EQ(placeEntries(), QStringLiteral("tarnibar-0.1.0-Linux tarnibar-0.2.0-Linux tarnibar-0.3.0-Linux tarnibar-current")
                                  .split(QLatin1Char(' ')));

    // A folder that is there already is never overwritten.
    const auto again = installTarball(write(bundle("tarnibar-0.2.0-Linux", "other")), current);
    ASSERT_FALSE(again);
    EXPECT_STREQ(again.error().key, "%@ already exists; move it away to install this version.");
    EXPECT_EQ(linkTarget(), place.filePath(QStringLiteral("tarnibar-0.3.0-Linux")));
    EXPECT_EQ(placeEntries().size(), 4);
}

TEST_F(TarballInstallerTest, AnArchiveFromGnuTarWithLongNamesUnpacks)
{
    QTemporaryDir source;
    const QString top = QStringLiteral("tarnibar-0.2.0-Linux");
    const QString deep = top + QStringLiteral("/share/tarnibar/") + QString(120, QLatin1Char('d'));
    QDir(source.path()).mkpath(top + QStringLiteral("/bin"));
    QDir(source.path()).mkpath(deep);
    QFile program(source.filePath(top + QStringLiteral("/bin/tarnibar")));
    program.open(QIODevice::WriteOnly);
    program.write("x");
    program.setPermissions(program.permissions() | QFile::ExeOwner);
    program.close();
    QFile(source.filePath(deep + QStringLiteral("/") + QString(110, QLatin1Char('f')))).open(QIODevice::WriteOnly);
    const QString archive = archives.filePath(QStringLiteral("gnu.tar.gz"));
    for (const char *format : {"gnu", "pax"}) {
        QFile::remove(archive);
        QProcess tar;
        tar.start(QStringLiteral("tar"), {QStringLiteral("--format=%1").arg(QLatin1String(format)), QStringLiteral("-czf"),
                                          archive, QStringLiteral("-C"), source.path(), top});
        ASSERT_TRUE(tar.waitForFinished(20000));
        ASSERT_EQ(tar.exitCode(), 0);
        QTemporaryDir out;
        const auto unpacked = unpackTarGz(archive, out.path().toStdString());
        ASSERT_TRUE(unpacked) << format << " " << qPrintable(unpacked.error().text());
        EXPECT_TRUE(QFileInfo::exists(out.filePath(deep + QStringLiteral("/") + QString(110, QLatin1Char('f')))))
            << format;
    }
}

TEST_F(TarballInstallerTest, HostileOrBrokenArchivesAreRefusedAndNothingIsLeftBehind)
{
    const QByteArray t = "tarnibar-9.0.0-Linux/";
    const TarEntry program{t + "bin/tarnibar", '0', "x", {}, 0755};
    QByteArray badChecksum = tarBytes({program});
    badChecksum[0] = 'T';
    struct Case {
        const char *name;
        QByteArray archive;
    } cases[] = {
        {"parent folder", tarGz({program, {"../outside", '0', "evil"}})},
        {"parent folder inside a name", tarGz({program, {t + "../../outside", '0', "evil"}})},
        {"absolute name", tarGz({program, {"/tmp/tarnibar-outside", '0', "evil"}})},
        {"link leaving the tree", tarGz({program, {t + "escape", '2', {}, "../../outside"}})},
        {"absolute link", tarGz({program, {t + "etc", '2', {}, "/etc"}})},
        {"link leaving through a link to its own folder",
         tarGz({program, {t + "b", '2', {}, "."}, {t + "c", '2', {}, "b/b/b/b/../../../../outside"}})},
        {"link made to leave by a later link",
         tarGz({program, {t + "c", '2', {}, "d/../../" + t + "bin"}, {t + "d", '2', {}, "."}})},
        {"link to the folder holding the bundle", tarGz({program, {t + "up", '2', {}, ".."}})},
        {"links in a loop", tarGz({program, {t + "x", '2', {}, "y"}, {t + "y", '2', {}, "x"}})},
        {"entry below a link", tarGz({program, {t + "lib", '2', {}, "bin"}, {t + "lib/tarnibar2", '0', "x"}})},
        {"hard link", tarGz({program, {t + "hard", '1', {}, t + "bin/tarnibar"}})},
        {"device", tarGz({program, {t + "dev", '3'}})},
        {"fifo", tarGz({program, {t + "fifo", '6'}})},
        {"damaged header", gzip(badChecksum)},
        {"cut short", [&] {
             const QByteArray whole = tarGz({program, {t + "big", '0', QByteArray(100000, 'b')}});
             return whole.left(whole.size() - 4);
         }()},
        {"not gzip", tarBytes({program})},
        {"two top folders", tarGz({program, {"other/file", '0', "x"}})},
        {"no program", tarGz({{t + "bin/other", '0', "x", {}, 0755}})},
    };
    for (const Case &c : cases) {
        const auto result = installTarball(write(c.archive), current);
        EXPECT_FALSE(result) << c.name;
        EXPECT_EQ(placeEntries(), QStringList{QStringLiteral("tarnibar-0.1.0-Linux")}) << c.name;
    }
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(place.path()).dir().filePath(QStringLiteral("outside"))));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/tmp/tarnibar-outside")));

    // Past the limits.
    const QString many = write(tarGz({program, {t + "a", '0', "1"}, {t + "b", '0', "2"}}));
    QTemporaryDir out;
    EXPECT_FALSE(unpackTarGz(many, out.path().toStdString(), ArchiveLimits{2, 1000, 4096}));
    QTemporaryDir out2;
    EXPECT_TRUE(unpackTarGz(many, out2.path().toStdString(), ArchiveLimits{3, 3, 4096}));
    QTemporaryDir out3;
    EXPECT_FALSE(unpackTarGz(many, out3.path().toStdString(), ArchiveLimits{3, 2, 4096}));
}

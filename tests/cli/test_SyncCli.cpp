// tarnibar-cli sync on two data roots, each with its own copy of the shared
// folder; files move between the copies by plain copy, as a sync engine
// would move them.

#include "SyncCli.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace tarni::testing;

namespace {

class SyncCliTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString rootA() const { return dir.path() + QStringLiteral("/a"); }
    QString rootB() const { return dir.path() + QStringLiteral("/b"); }
    QString folderA() const { return dir.path() + QStringLiteral("/shared-a"); }
    QString folderB() const { return dir.path() + QStringLiteral("/shared-b"); }

    void SetUp() override
    {
        ASSERT_TRUE(QDir().mkpath(rootA()));
        ASSERT_TRUE(QDir().mkpath(rootB()));
    }

    // Copies the change files `to` lacks and every device file.
    static void deliver(const QString &from, const QString &to)
    {
        QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = QDir(from).relativeFilePath(path);
            if (QFileInfo(path).fileName().startsWith(QLatin1Char('.')))
                continue;
            const QString target = QDir(to).filePath(relative);
            if (QFile::exists(target)) {
                if (!relative.startsWith(QLatin1String("devices/")))
                    continue;
                QFile::remove(target);
            }
            ASSERT_TRUE(QDir().mkpath(QFileInfo(target).path()));
            ASSERT_TRUE(QFile::copy(path, target)) << target.toStdString();
        }
    }

    void exchange()
    {
        ok(cliAt(rootA(), words("sync now")));
        ok(cliAt(rootB(), words("sync now")));
        deliver(folderA(), folderB());
        deliver(folderB(), folderA());
        ok(cliAt(rootA(), words("sync now")));
        ok(cliAt(rootB(), words("sync now")));
    }

    // A holds a group "Research" and a group "Work" with a link; B joins.
    // Returns Research's id.
    QString joinedPair()
    {
        const QString research = ok(cliAt(rootA(), words("add group Research")));
        const QString work = ok(cliAt(rootA(), words("add group Work")));
        ok(cliAt(rootA(), words("add link https://example.org/a --under %1", work)));
        const QString enabled = ok(cliAt(rootA(), words("sync enable %1 --device Laptop", folderA())));
        EXPECT_TRUE(enabled.startsWith(QStringLiteral("Sync is on: device \"Laptop\""))) << enabled.toStdString();
        EXPECT_TRUE(enabled.contains(QStringLiteral("tree is in the folder now"))) << enabled.toStdString();
        deliver(folderA(), folderB());
        ok(cliAt(rootB(), words("add group %1", QStringLiteral("Replaced"))));
        const QString joined = ok(cliAt(rootB(), words("sync enable %1 --device Desktop", folderB())));
        EXPECT_TRUE(joined.contains(QStringLiteral("is kept as snapshot"))) << joined.toStdString();
        EXPECT_TRUE(joined.contains(QStringLiteral("from \"Laptop\""))) << joined.toStdString();
        deliver(folderB(), folderA());
        return research;
    }
};

} // namespace

TEST_F(SyncCliTest, ASecondRootJoinsAndEditsOnBothConverge)
{
    const QString research = joinedPair();
    EXPECT_EQ(QFileInfo(folderA()).permissions() & 0x0077, QFileDevice::Permissions()); // made for the user only
    EXPECT_TRUE(ok(cliAt(rootB(), words("snapshot list"))).contains(QStringLiteral("Before sync")));
    EXPECT_EQ(sharedTree(rootB()), sharedTree(rootA()));
    EXPECT_FALSE(sharedTree(rootB()).contains("Replaced"));

    // Edits on both: a rename and a move on one, an add and a delete on the other.
    const QJsonArray tree = QJsonDocument::fromJson(sharedTree(rootA())).array();
    QString work, link;
    for (const QJsonValue &node : tree) {
        const QString title = node.toObject().value(QStringLiteral("title")).toString();
        const QString id = node.toObject().value(QStringLiteral("id")).toString();
        if (title == QLatin1String("Work"))
            work = id;
        else if (title == QLatin1String("example.org"))
            link = id;
    }
    ASSERT_FALSE(work.isEmpty());
    ASSERT_FALSE(link.isEmpty());
    ok(cliAt(rootA(), QStringList{QStringLiteral("rename"), work, QStringLiteral("Work (renamed)")}));
    ok(cliAt(rootA(), words("move %1 --under %2", research, work)));
    const QString added = ok(cliAt(rootB(), words("add group Inbox")));
    ok(cliAt(rootB(), words("delete %1", link)));
    exchange();
    const QByteArray converged = sharedTree(rootA());
    EXPECT_EQ(sharedTree(rootB()), converged);
    EXPECT_TRUE(converged.contains("Work (renamed)"));
    EXPECT_TRUE(converged.contains(added.toUtf8()));
    EXPECT_FALSE(converged.contains(link.toUtf8()));
    EXPECT_EQ(ok(cliAt(rootA(), words("sync now"))), QStringLiteral("Nothing to send or apply."));

    const QJsonObject status =
        QJsonDocument::fromJson(ok(cliAt(rootB(), words("sync status --json"))).toUtf8()).object();
    EXPECT_TRUE(status.value(QStringLiteral("enabled")).toBool());
    EXPECT_EQ(status.value(QStringLiteral("deviceName")), QStringLiteral("Desktop"));
    EXPECT_EQ(status.value(QStringLiteral("folder")), folderB());
    EXPECT_GE(status.value(QStringLiteral("lastSentSeq")).toInteger(), 1);
    EXPECT_TRUE(status.value(QStringLiteral("lastSentAt")).isString());
    EXPECT_TRUE(status.value(QStringLiteral("lastReceivedAt")).isString());
    EXPECT_EQ(status.value(QStringLiteral("pendingNodes")), 0);
    EXPECT_EQ(status.value(QStringLiteral("conflicts")), 0);
    const QJsonArray peers = status.value(QStringLiteral("peers")).toArray();
    ASSERT_EQ(peers.size(), 1);
    const QJsonObject laptop = peers[0].toObject();
    EXPECT_EQ(laptop.value(QStringLiteral("name")), QStringLiteral("Laptop"));
    EXPECT_EQ(laptop.value(QStringLiteral("appliedSeq")), 2); // the first tree, then the edits
    EXPECT_EQ(laptop.value(QStringLiteral("failedSeq")), 0);
    EXPECT_FALSE(laptop.value(QStringLiteral("clockAhead")).toBool());
    const QString lines = ok(cliAt(rootB(), words("sync status")));
    EXPECT_TRUE(lines.startsWith(QStringLiteral("Sync is on.\nDevice: Desktop ("))) << lines.toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("  Laptop (%1): applied up to change file 2")
                                   .arg(laptop.value(QStringLiteral("device")).toString())))
        << lines.toStdString();

    ok(cliAt(rootA(), words("sync disable")));
    EXPECT_TRUE(ok(cliAt(rootA(), words("sync status"))).startsWith(QStringLiteral("Sync is off.")));
}

TEST_F(SyncCliTest, TheLosingRenameIsListedOnBothAndCanBeRestoredOrDismissed)
{
    const QString research = joinedPair();
    ok(cliAt(rootA(), QStringList{QStringLiteral("rename"), research, QStringLiteral("Research on the laptop")}));
    ok(cliAt(rootB(), QStringList{QStringLiteral("rename"), research, QStringLiteral("Research on the desktop")}));
    exchange();
    const QByteArray tree = sharedTree(rootA());
    ASSERT_EQ(sharedTree(rootB()), tree);
    const bool laptopWon = tree.contains("Research on the laptop");
    const QString lostTitle = laptopWon ? QStringLiteral("Research on the desktop") : QStringLiteral("Research on the laptop");

    QJsonArray listed[2];
    for (int i = 0; i < 2; ++i) {
        listed[i] = QJsonDocument::fromJson(ok(cliAt(i ? rootB() : rootA(), words("sync conflicts --json"))).toUtf8())
                        .array();
        ASSERT_EQ(listed[i].size(), 1) << i;
        const QJsonObject conflict = listed[i][0].toObject();
        EXPECT_EQ(conflict.value(QStringLiteral("reason")), QStringLiteral("lost"));
        EXPECT_EQ(conflict.value(QStringLiteral("nodeId")), research);
        EXPECT_EQ(conflict.value(QStringLiteral("node")).toObject().value(QStringLiteral("title")), lostTitle);
        EXPECT_EQ(conflict.value(QStringLiteral("lostDevice")),
                  laptopWon ? QStringLiteral("Desktop") : QStringLiteral("Laptop"));
        EXPECT_EQ(conflict.value(QStringLiteral("keptDevice")),
                  laptopWon ? QStringLiteral("Laptop") : QStringLiteral("Desktop"));
    }
    const QString idB = QString::number(listed[1][0].toObject().value(QStringLiteral("id")).toInteger());
    const QString idA = QString::number(listed[0][0].toObject().value(QStringLiteral("id")).toInteger());
    EXPECT_TRUE(ok(cliAt(rootB(), words("sync conflicts"))).startsWith(idB + QStringLiteral("  ")));

    // Restored as a copy beside the winner, as an edit that can be undone.
    const QString copy = ok(cliAt(rootB(), words("sync conflicts restore %1", idB)));
    const QByteArray restored = sharedTree(rootB());
    EXPECT_TRUE(restored.contains(copy.toUtf8())) << restored.toStdString();
    EXPECT_TRUE(restored.contains(lostTitle.toUtf8()));
    EXPECT_EQ(ok(cliAt(rootB(), words("sync conflicts"))), QStringLiteral("No conflicts."));
    EXPECT_EQ(ok(cliAt(rootB(), words("undo"))), QStringLiteral("Restore “%1”").arg(lostTitle));
    EXPECT_FALSE(sharedTree(rootB()).contains(copy.toUtf8()));
    ok(cliAt(rootB(), words("redo")));

    EXPECT_EQ(ok(cliAt(rootA(), words("sync conflicts dismiss %1", idA))), QStringLiteral("Dismissed conflict %1").arg(idA));
    EXPECT_EQ(ok(cliAt(rootA(), words("sync conflicts --json"))), QStringLiteral("[]"));
    for (const char *verb : {"dismiss", "restore"}) {
        const CliRun gone = cliAt(rootA(), words("sync conflicts %1 %2", QString::fromLatin1(verb), idA));
        EXPECT_EQ(gone.exitCode, 7) << verb;
        EXPECT_TRUE(gone.err.contains(QStringLiteral("no conflict %1").arg(idA))) << gone.err.toStdString();
    }
    // The copy reaches the other root like any edit.
    exchange();
    EXPECT_EQ(sharedTree(rootA()), sharedTree(rootB()));
}

TEST_F(SyncCliTest, SyncOffAndFoldersThatCannotBeShared)
{
    ok(cliAt(rootA(), words("add group Research")));
    EXPECT_EQ(ok(cliAt(rootA(), words("sync status"))), QStringLiteral("Sync is off."));
    EXPECT_EQ(ok(cliAt(rootA(), words("sync status --json"))), QStringLiteral("{\"enabled\":false}"));
    EXPECT_EQ(ok(cliAt(rootA(), words("sync conflicts --json"))), QStringLiteral("[]"));
    const CliRun now = cliAt(rootA(), words("sync now"));
    EXPECT_EQ(now.exitCode, 7);
    EXPECT_TRUE(now.err.contains(QStringLiteral("sync is off"))) << now.err.toStdString();

    // The database never goes into the shared folder, by either nesting.
    for (const QString &folder : {rootA() + QStringLiteral("/shared"), rootA(), dir.path()}) {
        const CliRun inside = cliAt(rootA(), words("sync enable %1", folder));
        EXPECT_EQ(inside.exitCode, 2) << folder.toStdString();
        EXPECT_TRUE(inside.err.contains(QStringLiteral("overlap"))) << inside.err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(rootA() + QStringLiteral("/shared")));
    QFile file(dir.path() + QStringLiteral("/a-file"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    const CliRun notFolder = cliAt(rootA(), words("sync enable %1", file.fileName()));
    EXPECT_EQ(notFolder.exitCode, 2);
    EXPECT_TRUE(notFolder.err.contains(QStringLiteral("is not a folder"))) << notFolder.err.toStdString();
    EXPECT_EQ(ok(cliAt(rootA(), words("sync status"))), QStringLiteral("Sync is off."));
}

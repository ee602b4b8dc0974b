// Two data roots sharing one tree through two real Syncthings: the first
// root's tree reaches the second, which joins; then both edit at once (the
// same node renamed on both, an add on each, a delete on one and a move on the
// other) and `tarnibar-cli sync now` on both until the trees are the same.

#include "PrivateNetworkMain.h"
#include "SyncCli.h"
#include "SyncthingPair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>

using namespace tarni::test;
using namespace tarni::testing;

namespace {

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

// Whether a conflict about `nodeID` that kept a losing version is listed.
bool listsLostVersion(const QString &root, const QString &nodeID)
{
    const QJsonArray conflicts =
        QJsonDocument::fromJson(ok(cliAt(root, words("sync conflicts --json"))).toUtf8()).array();
    for (const QJsonValue &value : conflicts) {
        const QJsonObject conflict = value.toObject();
        if (conflict.value(QStringLiteral("nodeId")) == nodeID &&
            conflict.value(QStringLiteral("reason")) == QStringLiteral("lost"))
            return true;
    }
    return false;
}

TEST(SyncEndToEnd, TwoRootsThroughSyncthingConvergeAfterConcurrentEdits)
{
    QTemporaryDir dir;
    QString error;
    const auto pair = SyncthingPair::start(dir.path() + QStringLiteral("/syncthing"), &error);
    ASSERT_TRUE(pair) << error.toStdString();
    const QString rootA = dir.path() + QStringLiteral("/root-a");
    const QString rootB = dir.path() + QStringLiteral("/root-b");
    ASSERT_TRUE(QDir().mkpath(rootA));
    ASSERT_TRUE(QDir().mkpath(rootB));

    const QString research = ok(cliAt(rootA, words("add group Research")));
    const QString work = ok(cliAt(rootA, words("add group Work")));
    const QString link = ok(cliAt(rootA, words("add link https://example.org/a --under %1", work)));
    const QString archive = ok(cliAt(rootA, words("add group Archive")));
    ok(cliAt(rootA, words("add link https://example.org/old --under %1", archive)));
    ok(cliAt(rootA, words("sync enable %1 --device Laptop", pair->folderA())));
    const QString deviceA = QJsonDocument::fromJson(ok(cliAt(rootA, words("sync status --json"))).toUtf8())
                                .object()
                                .value(QStringLiteral("device"))
                                .toString();
    // The first machine's tree goes in as a snapshot file.
    const QString firstFile = QStringLiteral("snapshots/%1/1.tbsnapshot").arg(deviceA);
    QFile written(QDir(pair->folderA()).filePath(firstFile));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(SyncthingPair::waitForFile(pair->folderB(), firstFile, written.readAll(), std::chrono::seconds(30),
                                           &error))
        << error.toStdString() << pair->logs().toStdString();
    const qint64 firstFileMs = clock.elapsed();

    const QString joined = ok(cliAt(rootB, words("sync enable %1 --device Desktop", pair->folderB())));
    EXPECT_TRUE(joined.contains(QStringLiteral("from \"Laptop\""))) << joined.toStdString();
    ASSERT_EQ(sharedTree(rootB), sharedTree(rootA));

    // Both edit before either has seen the other's changes.
    ok(cliAt(rootA, QStringList{QStringLiteral("rename"), research, QStringLiteral("Research (laptop)")}));
    ok(cliAt(rootB, QStringList{QStringLiteral("rename"), research, QStringLiteral("Research (desktop)")}));
    const QString addedA = ok(cliAt(rootA, words("add group Inbox-laptop")));
    const QString addedB = ok(cliAt(rootB, words("add group Inbox-desktop")));
    ok(cliAt(rootA, words("delete %1", archive)));
    ok(cliAt(rootB, words("move %1 --under %2", link, research)));
    clock.restart();

    QByteArray treeA, treeB;
    int rounds = 0;
    while (clock.elapsed() < 30000) {
        ++rounds;
        ok(cliAt(rootA, words("sync now")));
        ok(cliAt(rootB, words("sync now")));
        treeA = sharedTree(rootA);
        treeB = sharedTree(rootB);
        if (treeA == treeB)
            break;
        QThread::msleep(500);
    }
    const qint64 convergedMs = clock.elapsed();
    ASSERT_EQ(treeA, treeB) << "not the same after " << convergedMs << " ms\n"
                            << ok(cliAt(rootA, words("sync status"))).toStdString() << "\n"
                            << ok(cliAt(rootB, words("sync status"))).toStdString() << "\n"
                            << pair->logs().toStdString();
    EXPECT_TRUE(treeA.contains(addedA.toUtf8()));
    EXPECT_TRUE(treeA.contains(addedB.toUtf8()));
    EXPECT_FALSE(treeA.contains(archive.toUtf8()));
    EXPECT_TRUE(treeA.contains("Research (laptop)") != treeA.contains("Research (desktop)"));
    EXPECT_TRUE(listsLostVersion(rootA, research));
    EXPECT_TRUE(listsLostVersion(rootB, research));
    std::printf("first tree across in %lld ms; converged %lld ms after the last edit, in %d round(s) of sync now; "
                "load average %s\n",
                firstFileMs, convergedMs, rounds, qPrintable(loadAverage()));
}

} // namespace

int main(int argc, char **argv)
{
    return runInPrivateNetwork(argc, argv);
}

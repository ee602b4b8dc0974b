// Two Syncthings sharing a folder carry a file written the way the sync
// folder's files are written (a temporary name, then a rename) both ways.

#include "PrivateNetworkMain.h"
#include "SyncthingPair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

using namespace tarni::test;

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

void writeAtomically(const QString &folder, const QString &relativePath, const QByteArray &bytes)
{
    const QString path = QDir(folder).filePath(relativePath);
    const QString directory = QFileInfo(path).path();
    ASSERT_TRUE(QDir().mkpath(directory));
    const QString temporary = QDir(directory).filePath(QLatin1Char('.') + QFileInfo(path).fileName() + QStringLiteral(".x7Q.tmp"));
    QFile file(temporary);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();
    std::filesystem::rename(temporary.toStdString(), path.toStdString());
}

TEST(SyncthingPair, CarriesFilesBothWays)
{
    QTemporaryDir root;
    QString error;
    QElapsedTimer clock;
    clock.start();
    const auto pair = SyncthingPair::start(root.path(), &error);
    ASSERT_TRUE(pair) << error.toStdString();
    const qint64 connectedMs = clock.elapsed();

    const QString fromA = QStringLiteral("changes/a/1.tbchanges");
    const QByteArray bytesA = randomBytes(256 * 1024);
    writeAtomically(pair->folderA(), fromA, bytesA);
    clock.restart();
    ASSERT_TRUE(SyncthingPair::waitForFile(pair->folderB(), fromA, bytesA, std::chrono::seconds(30), &error))
        << error.toStdString() << pair->logs().toStdString();
    const qint64 aToBMs = clock.elapsed();

    const QString fromB = QStringLiteral("changes/b/1.tbchanges");
    const QByteArray bytesB = randomBytes(1024);
    writeAtomically(pair->folderB(), fromB, bytesB);
    clock.restart();
    ASSERT_TRUE(SyncthingPair::waitForFile(pair->folderA(), fromB, bytesB, std::chrono::seconds(30), &error))
        << error.toStdString() << pair->logs().toStdString();
    const qint64 bToAMs = clock.elapsed();
    std::printf("started and connected in %lld ms; a to b in %lld ms, b to a in %lld ms\n", connectedMs, aToBMs, bToAMs);
}

} // namespace

int main(int argc, char **argv)
{
    return runInPrivateNetwork(argc, argv);
}

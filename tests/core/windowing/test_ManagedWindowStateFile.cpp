#include "windowing/ManagedWindowStateFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarni;

namespace {

ManagedWindowRecord record(const QString &identifier, std::uint64_t window)
{
    ManagedWindowRecord r;
    r.identifier = identifier;
    r.windowHandle = window;
    r.appPID = 4321;
    r.windowTitle = QStringLiteral("notes.txt — Viewer");
    r.originalFrame = QRectF(900, 500, 400.5, 300);
    r.currentFrame = QRectF(320, 0, 1280, 1000);
    return r;
}

class ManagedWindowStateFileTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    std::filesystem::path path() const { return m_dir.filePath(QStringLiteral("windows.json")).toStdString(); }
    void write(const QByteArray &bytes)
    {
        QFile file(QString::fromStdString(path().string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    bool exists() const { return std::filesystem::exists(path()); }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(ManagedWindowStateFileTest, KeepsWhatIsNeededToPutAWindowBackAndGoesAwayWhenNothingIsLeft)
{
    ManagedWindowRecord maximised = record(QStringLiteral("/b"), 0x1e00007);
    maximised.originalState = OriginalWindowState{true, true, false, false, 2, QRectF(10, 20, 640, 480)};
    ManagedWindowRecord neverPlaced = record(QStringLiteral("/c"), 7);
    neverPlaced.originalFrame.reset();

    ManagedWindowStateFile file(path());
    ASSERT_TRUE(file.save({record(QStringLiteral("/a"), 4294967295u), maximised, neverPlaced}));
    EXPECT_EQ(ManagedWindowStateFile(path()).load(), (QList<ManagedWindowRecord>{record(QStringLiteral("/a"), 4294967295u), maximised}));

    ASSERT_TRUE(file.save({}));
    EXPECT_FALSE(exists());
    EXPECT_TRUE(ManagedWindowStateFile(path()).load().isEmpty());
}

// One entry of the file, with the given values spliced in as written.
QByteArray entry(const char *identifier, const char *window, const char *pid, const char *width,
                 bool withCurrentFrame = true)
{
    QByteArray e = QByteArray("{\"identifier\":") + identifier + ",\"window\":" + window + ",\"pid\":" + pid +
        ",\"originalFrame\":{\"x\":1,\"y\":2,\"width\":" + width + ",\"height\":4}";
    if (withCurrentFrame)
        e += ",\"currentFrame\":{\"x\":5,\"y\":6,\"width\":7,\"height\":8}";
    return e + '}';
}

TEST_F(ManagedWindowStateFileTest, DamagedFilesAndEntriesAreIgnored)
{
    const QByteArray good = entry("\"/a\"", "12", "3", "3");
    for (const QByteArray &damaged : {QByteArray(), "{\"version\":1,\"windows\":[" + good, QByteArray("[]"),
                                      "{\"version\":2,\"windows\":[" + good + "]}",
                                      QByteArray("{\"version\":1,\"windows\":{}}"),
                                      "{\"version\":1,\"windows\":[" + good + "]}" + QByteArray(2 << 20, ' ')}) {
        write(damaged);
        EXPECT_TRUE(ManagedWindowStateFile(path()).load().isEmpty()) << damaged.left(80).toStdString();
    }

    // Entries that could not name the window again, or would put it nowhere.
    const QList<QByteArray> bad{entry("\"/b\"", "0", "3", "3"),          entry("\"/b\"", "4294967296", "3", "3"),
                                entry("\"/b\"", "1.5", "3", "3"),        entry("\"/b\"", "12", "-3", "3"),
                                entry("\"/b\"", "12", "\"3\"", "3"),     entry("\"/b\"", "12", "3", "-3"),
                                entry("\"/b\"", "12", "3", "1e300"),     entry("\"/b\"", "12", "3", "3", false),
                                entry("\"\"", "12", "3", "3"),           QByteArray("17")};
    write("{\"version\":1,\"windows\":[" + bad.join(',') + ',' + good + "]}");
    const QList<ManagedWindowRecord> loaded = ManagedWindowStateFile(path()).load();
    ASSERT_EQ(loaded.size(), 1);
    EXPECT_EQ(loaded[0].identifier, QStringLiteral("/a"));
    EXPECT_EQ(loaded[0].windowHandle, 12u);
    EXPECT_EQ(loaded[0].currentFrame, QRectF(5, 6, 7, 8));
}

TEST_F(ManagedWindowStateFileTest, RecordsOfAnEarlierProcessStayUntilTheyAreLetGo)
{
    ManagedWindowStateFile file(path());
    const ManagedWindowRecord a = record(QStringLiteral("/a"), 1);
    const ManagedWindowRecord b = record(QStringLiteral("/b"), 2);
    file.setCarriedOver({a, b});
    ManagedWindowRecord newerA = a;
    newerA.currentFrame = QRectF(0, 0, 10, 10);
    ASSERT_TRUE(file.save({newerA}));
    EXPECT_EQ(file.load(), (QList<ManagedWindowRecord>{newerA, b}));
    ASSERT_TRUE(file.save({}));
    EXPECT_EQ(file.load(), (QList<ManagedWindowRecord>{a, b}));

    file.setCarriedOver({});
    ASSERT_TRUE(file.save({}));
    EXPECT_FALSE(exists());
}

// The pieces of the queue format that host and application share, and the
// host's reading of desktop entries.

#include "ApplicationLauncher.h"
#include "HostProcess.h"

#include "common/NativeHostQueue.h"
#include "common/NativeMessagingFrame.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace tarni;
using namespace tarni::host;

TEST(UuidText, AcceptsEitherCaseAndCanonicalisesToUpperCase)
{
    struct Row {
        const char *text;
        const char *canonical; // null: refused
    };
    const Row rows[] = {
        {"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d", "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"},
        {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"},
        {"0a1B2c3D-4e5F-4a6B-8c7D-9e0F1a2B3c4D", "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"},
        {"0A1B2C3D4E5F4A6B8C7D9E0F1A2B3C4D", nullptr},
        {"{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}", nullptr},
        {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4", nullptr},
        {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4DD", nullptr},
        {"0G1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", nullptr},
        {"0A1B2C3D_4E5F-4A6B-8C7D-9E0F1A2B3C4D", nullptr},
        {"", nullptr},
    };
    for (const Row &row : rows) {
        const auto canonical = canonicalUuidText(row.text);
        if (row.canonical)
            EXPECT_EQ(canonical, std::string(row.canonical)) << row.text;
        else
            EXPECT_EQ(canonical, std::nullopt) << row.text;
    }
}

TEST(UuidText, RandomIdentifiersAreVersionFourAndDistinct)
{
    const std::string a = randomUuidText();
    const std::string b = randomUuidText();
    EXPECT_NE(a, b);
    EXPECT_EQ(canonicalUuidText(a), a);
    EXPECT_EQ(a[14], '4');
    EXPECT_NE(std::string("89AB").find(a[19]), std::string::npos) << a;
}

TEST(EnvelopeIdentifier, IsReadFromTheTopLevelObjectOnly)
{
    EnvelopeIdentifierReader reader;
    EXPECT_EQ(reader.read(R"({"message":{"id":"x"},"id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"})"),
              std::string("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"));
    EXPECT_EQ(reader.read(R"({"message":{"id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"}})"), std::nullopt);
    EXPECT_EQ(reader.read(R"({"id":null})"), std::nullopt);
    EXPECT_EQ(reader.read(R"({"id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"} trailing)"), std::nullopt);
    EXPECT_EQ(reader.read(std::string(2000, '[')), std::nullopt);
}

TEST(Frame, LengthIsLittleEndianAndRoundTripsThroughAPipe)
{
    char header[4];
    encodeFrameLength(0x01020304u, header);
    EXPECT_EQ(std::string(header, 4), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(decodeFrameLength(header), 0x01020304u);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_TRUE(writeFrame(fds[1], "{\"a\":1}"));
    ASSERT_TRUE(writeFrame(fds[1], ""));
    ASSERT_TRUE(writeFrame(fds[1], "abcdef"));
    ::close(fds[1]);
    std::string body;
    EXPECT_EQ(readFrame(fds[0], body, 100).status, FrameReadResult::Status::frame);
    EXPECT_EQ(body, "{\"a\":1}");
    EXPECT_EQ(readFrame(fds[0], body, 100).status, FrameReadResult::Status::frame);
    EXPECT_EQ(body, "");
    // Over the caller's limit: refused before the body is read.
    const auto refused = readFrame(fds[0], body, 5);
    EXPECT_EQ(refused.status, FrameReadResult::Status::tooLarge);
    EXPECT_EQ(refused.declaredLength, 6u);
    ::close(fds[0]);
}

TEST(QueueDirectory, ListsVisibleEntriesInByteOrderAndReportsAMissingDirectory)
{
    test::ScratchDirectory scratch;
    for (const char *name : {"b.json", ".b.json.XYZ", "A.json", "a.json"})
        test::writeFile(scratch.path() / name, "x");
    EXPECT_EQ(listQueueDirectory(scratch.path()), (std::vector<std::string>{"A.json", "a.json", "b.json"}));
    std::string error;
    EXPECT_EQ(listQueueDirectory(scratch.path() / "missing", &error), std::nullopt);
    EXPECT_NE(error.find("cannot list"), std::string::npos);
    EXPECT_EQ(queueFileName("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"), "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D.json");
}

TEST(DesktopEntry, ExecLinesBecomeArgumentsWithoutFieldCodes)
{
    struct Row {
        const char *exec;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {"tarnibar %U", {"tarnibar"}},
        {"/opt/tarni/bin/tarnibar --flag %f", {"/opt/tarni/bin/tarnibar", "--flag"}},
        {"\"/opt/my apps/tarnibar\" --x", {"/opt/my apps/tarnibar", "--x"}},
        {"\"/opt/q\\\"uote\"", {"/opt/q\"uote"}},
        {"tarnibar --rate=100%%", {"tarnibar", "--rate=100%"}},
        {"tarnibar  --a\t--b", {"tarnibar", "--a", "--b"}},
        {"tarnibar \"unterminated", {}},
        {"tarnibar | rm", {}},
        {"", {}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(parseDesktopExec(row.exec), row.args) << row.exec;
}

TEST(DesktopEntry, ValuesComeFromTheMainGroupWithEscapesResolved)
{
    const char *text = "# comment\n[Desktop Action new]\nExec=wrong\n[Desktop Entry]\nName=TarniBar\n"
                       "Exec = tarni\\sbar --x\r\nHidden=true\n";
    EXPECT_EQ(desktopEntryValue(text, "Exec"), std::string("tarni bar --x"));
    EXPECT_EQ(desktopEntryValue(text, "Hidden"), std::string("true"));
    EXPECT_EQ(desktopEntryValue(text, "TryExec"), std::nullopt);
}

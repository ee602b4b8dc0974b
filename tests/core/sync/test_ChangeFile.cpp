// Change files read back as written, and a damaged or hostile one is refused
// whole, or record by record where the rest can still apply.

#include "model/Uuid.h"
#include "sync/ChangeFile.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::sync;

namespace {

const QUuid kDevice = QUuid::fromString(QStringLiteral("{0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b}"));
const QUuid kOther = QUuid::fromString(QStringLiteral("{7d1c2b3a-4e5f-4a6b-8c7d-9e0f1a2b3c4d}"));
const QUuid kWorkspace = QUuid::fromString(QStringLiteral("{11111111-2222-4333-8444-555555555555}"));
const Timestamp kTime{std::chrono::seconds(1'733'650'000)};

WorkspaceNode node(const QString &title, NodePayload payload, std::optional<QUuid> parent = std::nullopt)
{
    const WorkspaceNodeKind kind = payload.kind();
    return WorkspaceNode(QUuid::createUuid(), kWorkspace, parent, kind, title, std::nullopt, 1.5, false, std::nullopt,
                         kTime, kTime, kTime, std::move(payload));
}

SyncClock clockAt(qint64 ms, int counter = 0, QUuid device = kDevice)
{
    return SyncClock{ms, counter, device};
}

ChangeFile sampleFile()
{
    ChangeFile file;
    file.device = kDevice;
    file.deviceName = QStringLiteral("Laptop «Küche»");
    file.seq = 42;
    file.after = {{kOther, 17}};
    const WorkspaceNode group = node(QStringLiteral("Reading"), NodePayload::group());
    file.changes = {
        {clockAt(1'733'650'000'123), std::nullopt, group, std::nullopt},
        {clockAt(1'733'650'000'123, 1), clockAt(1'733'640'000'000, 3, kOther),
         node(QStringLiteral("Docs"), NodePayload::webLink({QStringLiteral("https://example.com/a?b"), std::nullopt}),
              group.id()),
         std::nullopt},
        {clockAt(1'733'650'000'124), clockAt(1'733'650'000'000), Tombstone{QUuid::createUuid()}, std::nullopt},
    };
    return file;
}

std::string encoded(const ChangeFile &file)
{
    auto bytes = encodeChangeFile(file);
    EXPECT_TRUE(bytes.ok()) << (bytes ? "" : bytes.error().description().toStdString());
    return bytes ? *bytes : std::string();
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

std::optional<ChangeFileProblem> problemOf(std::string_view bytes)
{
    auto decoded = decodeChangeFile(bytes);
    return decoded ? std::nullopt : std::optional(decoded.error().problem);
}

TEST(ChangeFile, RecordsAndTombstonesReadBackAsWritten)
{
    const ChangeFile file = sampleFile();
    const std::string bytes = encoded(file);
    auto decoded = decodeChangeFile(bytes);
    ASSERT_TRUE(decoded) << decoded.error().description().toStdString();
    EXPECT_EQ(decoded->file, file);
    EXPECT_TRUE(decoded->refused.empty());
    EXPECT_EQ(encoded(decoded->file), bytes);
    // The device ids are the folder's lower-case form; a reader relies on
    // the keys' order no more than on their layout.
    EXPECT_NE(bytes.find("\"device\":\"0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b\""), std::string::npos);
    const std::string shuffled = R"({"schemaVersion":1,"seq":1,"changes":[],"format":"tarnibar-changes",)"
                                 R"("extra":{"v":[1,2]},"after":{},"deviceName":"","device":)"
                                 R"("0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b"})";
    EXPECT_TRUE(decodeChangeFile(shuffled)) << shuffled;
}

TEST(ChangeFile, ADamagedFileIsRefusedWhole)
{
    using P = ChangeFileProblem;
    const std::string good = encoded(sampleFile());
    for (std::size_t cut : {std::size_t(0), std::size_t(1), std::size_t(9), good.find("\"node\""),
                            good.find("\"format\""), good.size() / 2, good.size() - 1}) {
        EXPECT_EQ(problemOf(good.substr(0, cut)), P::damaged) << "cut at " << cut;
    }
    const std::pair<std::string_view, std::string_view> edits[] = {
        {"\"seq\":42", "\"seq\":\"42\""},
        {"\"seq\":42", "\"seq\":1000000000000000"},
        {"{\"7d1c2b3a-4e5f-4a6b-8c7d-9e0f1a2b3c4d\":17}", "[17]"},
        {"7d1c2b3a-4e5f-4a6b-8c7d-9e0f1a2b3c4d", "7D1C2B3A-4E5F-4A6B-8C7D-9E0F1A2B3C4D"},
        {"7d1c2b3a-4e5f-4a6b-8c7d-9e0f1a2b3c4d\":17", "0a5e6f3c-1d2b-4c8e-9f70-6b1d2e3f4a5b\":17"}, // itself
        {"\"changes\":[", "\"changes\":{\"x\":["},
        {"\"deviceName\":", "\"deviceName\":5,\"ignored\":"},
        {"\"title\":\"Reading\"", "\"title\":5"},
        {"\"kind\":\"group\"", "\"kind\":\"webLink\""},
        {"\"clock\":\"0001733650000123-00000-", "\"clock\":\"0001733650000123-0000-"},
        {"\"clock\":\"0001733650000123-00000-0a5e", "\"clock\":\"0001733650000123-00000-0A5E"},
        {"\"clock\":\"0001733650000123-00000-0a5e6f3c", "\"clock\":\"0001733650000123-00000-7d1c2b3a"},
        {"\"base\":\"0001733650000000-00000", "\"base\":\"0001733650000124-00000"}, // base after clock
        {"\"base\":\"\",", ""},
        {"\"deleted\":\"", "\"node\":null,\"deleted\":\""},
        {"\"device\":", "\"seq\":43,\"device\":"},
    };
    for (const auto &[from, to] : edits)
        EXPECT_EQ(problemOf(replaced(good, from, to)), P::damaged) << from << " -> " << to;
    EXPECT_EQ(problemOf(good + "{}"), P::damaged);
    const std::string longName = "\"deviceName\":\"" + std::string(kMaxDeviceNameBytes, 'x');
    EXPECT_EQ(problemOf(replaced(good, "\"deviceName\":\"", longName)), P::damaged);
    EXPECT_EQ(problemOf(std::string(kMaxChangeFileBytes + 1, ' ')), P::tooLarge);
}

TEST(ChangeFile, AnotherFormatOrANewerSchemaIsSaidSo)
{
    using P = ChangeFileProblem;
    const std::string good = encoded(sampleFile());
    EXPECT_EQ(problemOf("[1,2]"), P::unknownFormat);
    EXPECT_EQ(problemOf(R"({"format":"tarnibar-snapshot","schemaVersion":1})"), P::unknownFormat);
    EXPECT_EQ(problemOf(replaced(good, "\"format\":", "\"formats\":")), P::unknownFormat);
    // A newer schema may change everything else: that is not damage.
    EXPECT_EQ(problemOf(replaced(replaced(good, "\"schemaVersion\":1", "\"schemaVersion\":2"), "\"changes\":[",
                                 "\"changes\":7,\"v2\":[")),
              P::newerSchema);
    EXPECT_EQ(problemOf(replaced(good, "\"schemaVersion\":1", "\"schemaVersion\":0")), P::damaged);
}

TEST(ChangeFile, ARecordTheRulesRefuseOrTooLargeIsRefusedAloneAndTheRestApplies)
{
    ChangeFile file = sampleFile();
    WorkspaceNode script = node(QStringLiteral("Run me"), NodePayload::webLink({QStringLiteral("javascript:alert(1)"), std::nullopt}));
    WorkspaceNode blank = node(QStringLiteral("  "), NodePayload::group());
    WorkspaceNode large = node(QString(kMaxChangeRecordBytes, QLatin1Char('t')), NodePayload::group());
    file.changes.push_back({clockAt(1'733'650'000'200), std::nullopt, script, std::nullopt});
    file.changes.push_back({clockAt(1'733'650'000'201), std::nullopt, blank, std::nullopt});
    // Ours does not write it; another writer might.
    auto refusedLarge = encodeChangeFile(ChangeFile{kDevice, {}, 1, {}, {{clockAt(1), std::nullopt, large, std::nullopt}}});
    ASSERT_FALSE(refusedLarge);
    EXPECT_EQ(refusedLarge.error().problem, ChangeFileProblem::tooLarge);
    EXPECT_EQ(refusedLarge.error().nodeID, large.id());
    std::string bytes = encoded(file);
    const std::string largeRecord = "{\"base\":\"\",\"clock\":\"0001733650000202-00000-0a5e6f3c-1d2b-4c8e-9f70-"
                                    "6b1d2e3f4a5b\",\"deleted\":\"" + uuidText(QUuid::createUuid()) +
                                    "\",\"padding\":\"" + std::string(kMaxChangeRecordBytes, ' ') + "\"}";
    bytes = replaced(bytes, "],\"device\"", "," + largeRecord + "],\"device\"");

    auto decoded = decodeChangeFile(bytes);
    ASSERT_TRUE(decoded) << decoded.error().description().toStdString();
    file.changes.resize(3);
    EXPECT_EQ(decoded->file, file);
    ASSERT_EQ(decoded->refused.size(), 3u);
    EXPECT_EQ(decoded->refused[0].index, 3u);
    EXPECT_EQ(decoded->refused[0].problem, EntryProblem::notWebAddress);
    EXPECT_EQ(decoded->refused[0].record->change, decltype(ChangeRecord::change)(script));
    EXPECT_EQ(decoded->refused[1].problem, EntryProblem::blankTitle);
    EXPECT_EQ(decoded->refused[2].index, 5u);
    EXPECT_EQ(decoded->refused[2].record, std::nullopt);
    EXPECT_EQ(decoded->refused[2].problem, std::nullopt);
}

} // namespace

namespace {

// A snapshot's records carry anyone's clocks and no base.
std::vector<ChangeRecord> snapshotRecords(int count)
{
    std::vector<ChangeRecord> records;
    const WorkspaceNode group = node(QStringLiteral("Reading"), NodePayload::group());
    records.push_back({clockAt(1'733'650'000'000, 0, kOther), std::nullopt, group, clockAt(1'733'640'000'000, 0, kOther)});
    for (int i = 1; i < count; ++i)
        records.push_back({clockAt(1'733'650'000'000 + i), std::nullopt,
                           node(QStringLiteral("Link %1").arg(i),
                                NodePayload::webLink({QStringLiteral("https://example.com/%1").arg(i), std::nullopt}), group.id()),
                           std::nullopt});
    return records;
}

} // namespace

TEST(SnapshotFile, ReadsBackWholeAndRefusesAnythingCutShortOrAddedTo)
{
    const SnapshotHeader header{kDevice, QStringLiteral("Laptop"), 42, {{kOther, 17}}};
    const auto records = snapshotRecords(3000);
    auto bytes = encodeSnapshotFile(header, records);
    ASSERT_TRUE(bytes);
    auto decoded = decodeSnapshotFile(*bytes);
    ASSERT_TRUE(decoded) << decoded.error().description().toStdString();
    EXPECT_EQ(decoded->header, header);
    EXPECT_EQ(decoded->records, records);
    EXPECT_EQ(header.covered(kDevice), 42);
    EXPECT_EQ(header.covered(kOther), 17);

    // Cut anywhere, or with bytes after the end: refused, never read short.
    for (std::size_t cut : {std::size_t(10), bytes->size() / 2, bytes->size() - 1})
        EXPECT_FALSE(decodeSnapshotFile(std::string_view(*bytes).substr(0, cut))) << cut;
    EXPECT_FALSE(decodeSnapshotFile(*bytes + "x"));
    EXPECT_FALSE(decodeSnapshotFile(*bytes + *bytes));
    // Not compressed at all.
    EXPECT_FALSE(decodeSnapshotFile("{\"format\":\"tarnibar-snapshot\"}\n"));

    // A deletion, or a record with a base, is no snapshot record.
    EXPECT_FALSE(encodeSnapshotFile(header, {{clockAt(5), std::nullopt, Tombstone{QUuid::createUuid()}, std::nullopt}}));
    EXPECT_FALSE(encodeSnapshotFile(header, {{clockAt(5), clockAt(4), records[0].change, std::nullopt}}));
    // A node the entry rules refuse is refused alone.
    auto withScript = records;
    withScript.push_back({clockAt(9), std::nullopt,
                          node(QStringLiteral("Run me"), NodePayload::webLink({QStringLiteral("javascript:alert(1)"), std::nullopt})),
                          std::nullopt});
    auto refused = decodeSnapshotFile(*encodeSnapshotFile(header, withScript));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->records.size(), records.size());
    ASSERT_EQ(refused->refused.size(), 1u);
    EXPECT_EQ(refused->refused[0].index, records.size());
}

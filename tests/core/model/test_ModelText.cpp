#include "model/Timestamp.h"
#include "model/Uuid.h"

#include <QSet>

#include <gtest/gtest.h>

using namespace tarni;
using namespace std::chrono;

TEST(Timestamp, AcceptsOnlyTheExactForm)
{
    // Each of these is a plausible ISO 8601 text the stored format does not allow.
    for (const char *text : {"2024-03-01T09:30:05.123Z", "2024-03-01T09:30:05+00:00", "2024-03-01T09:30:05",
                             "2024-03-01 09:30:05Z", "2024-3-01T09:30:05Z", "2024-03-01T09:30:05z", "",
                             "2024-02-30T00:00:00Z", "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z",
                             "2024-00-01T00:00:00Z", "2024-03-01T24:00:00Z", "2024-03-01T23:60:00Z",
                             "2024-03-01T23:59:60Z", "2024-03-01T09:30:0aZ", "+024-03-01T09:30:05Z"})
        EXPECT_FALSE(parseTimestamp(text).has_value()) << text;
    EXPECT_TRUE(parseTimestamp("2024-02-29T23:59:59Z").has_value());
    EXPECT_TRUE(parseTimestamp("0000-01-01T00:00:00Z").has_value());
    EXPECT_TRUE(parseTimestamp("9999-12-31T23:59:59Z").has_value());
}

TEST(Timestamp, CurrentTimeHasWholeSecondsAndRoundTrips)
{
    const Timestamp now = currentTimestamp();
    EXPECT_EQ(parseTimestamp(timestampText(now)), now);
}

TEST(Uuid, RejectsEveryOtherSpelling)
{
    for (const char *text : {"{0F8FAD5B-D9CB-469F-A165-70867728950E}", "0F8FAD5BD9CB469FA16570867728950E",
                             "0F8FAD5B-D9CB-469F-A165-70867728950", "0F8FAD5B-D9CB-469F-A165-70867728950EE",
                             "0F8FAD5B_D9CB-469F-A165-70867728950E", "0G8FAD5B-D9CB-469F-A165-70867728950E",
                             "urn:uuid:0F8FAD5B-D9CB-469F-A165-7086772895", ""})
        EXPECT_FALSE(parseUuid(std::string_view(text)).has_value()) << text;
}

TEST(Uuid, ASequenceGivesDistinctVersion4IdentifiersInOrder)
{
    UuidSequence first, second;
    QSet<QUuid> seen;
    std::string previous;
    for (int i = 0; i < 10'000; ++i) {
        const QUuid id = first.next();
        // The store's indexes compare the text.
        EXPECT_LT(previous, uuidText(id));
        previous = uuidText(id);
        for (const QUuid &each : {id, second.next()}) {
            EXPECT_EQ(each.version(), QUuid::Random);
            EXPECT_EQ(each.variant(), QUuid::DCE);
            seen.insert(each);
        }
    }
    // Two sequences start apart, so neither repeats the other.
    EXPECT_EQ(seen.size(), 20'000);
}

#include "model/SlackURLParser.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {

struct ParseCase {
    const char *name;
    const char *text;
    bool parses;
    const char *team = nullptr;
    const char *channel = nullptr;
    const char *ts = nullptr;
};

std::optional<QString> opt(const char *text)
{
    return text ? std::optional<QString>(QString::fromUtf8(text)) : std::nullopt;
}

class SlackAddresses : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SlackAddresses, Parse)
{
    const auto &c = GetParam();
    const QString text = QString::fromUtf8(c.text);
    const auto target = SlackURLParser().parse(text);
    ASSERT_EQ(target.has_value(), c.parses) << c.text;
    if (!target)
        return;
    EXPECT_EQ(target->permalinkURL, text);
    EXPECT_EQ(target->teamID, opt(c.team));
    EXPECT_EQ(target->channelID, opt(c.channel));
    EXPECT_EQ(target->messageTS, opt(c.ts));
    EXPECT_EQ(target->preferredOpenMode, SlackOpenMode::browserPermalink);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SlackAddresses,
    ::testing::Values(
        ParseCase{"archivesMessage", "https://acme.slack.com/archives/C0123ABC/p1712345678123456", true, nullptr,
                  "C0123ABC", "1712345678.123456"},
        ParseCase{"archivesChannel", "https://acme.slack.com/archives/C1", true, nullptr, "C1", nullptr},
        ParseCase{"client", "https://app.slack.com/client/T1/C2", true, "T1", "C2", nullptr},
        ParseCase{"clientThread", "https://app.slack.com/client/T1/C2/thread/C2-1712345678.123456", true, "T1", "C2",
                  "1712345678.123456"},
        ParseCase{"emptyPathTeam", "https://slack.com?team=T5", true, "T5", nullptr, nullptr},
        ParseCase{"teamQueryWinsOverPath", "https://app.slack.com/client/T1/C2?TeAm=T7", true, "T7", "C2", nullptr},
        ParseCase{"timestampWithDot", "https://slack.com/archives/C1/p1712345678.5", true, nullptr, "C1",
                  "1712345678.5"},
        ParseCase{"upperCaseHost", "https://ACME.SLACK.COM/archives/C1", true, nullptr, "C1", nullptr},
        ParseCase{"otherHost", "https://example.com/archives/C1/p1712345678123456", false},
        ParseCase{"lookAlikeHost", "https://notslack.com/archives/C1", false},
        ParseCase{"domainInsideHost", "https://slack.com.example.net/archives/C1", false},
        ParseCase{"noHost", "slack.com/archives/C1", false},
        ParseCase{"empty", "", false},
        ParseCase{"spaceInside", "https://slack.com/archives/C1 x", false}),
    [](const auto &info) { return std::string(info.param.name); });

// Token shapes the address table above does not reach.
TEST(SlackURLParser, NormalizesTimestampTokens)
{
    const std::pair<const char *, const char *> cases[] = {
        {"1712345678123456", "1712345678.123456"},
        {"p1234567", "1.234567"},
        {"p123456", "123456"},
        {"p", ""},
    };
    for (const auto &[token, expected] : cases)
        EXPECT_EQ(SlackURLParser::normalizeTimestampToken(QString::fromUtf8(token)), QString::fromUtf8(expected))
            << token;
}

} // namespace

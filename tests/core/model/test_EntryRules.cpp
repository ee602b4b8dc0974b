// What each kind of node may hold, and the one form in which an address is
// handed to another program.

#include "model/EntryRules.h"

#include <gtest/gtest.h>

using namespace tarni;

namespace {

using Rows = std::vector<std::pair<const char *, std::optional<EntryProblem>>>;

// Each row's text against one rule: none when it is accepted.
template <class Rule>
void expectProblems(Rule rule, const Rows &rows)
{
    for (const auto &[text, problem] : rows) {
        auto accepted = rule(QString::fromUtf8(text));
        EXPECT_EQ(accepted ? std::nullopt : std::optional(accepted.error()), problem) << text;
    }
}

TEST(EntryRules, WebAddressesAreAbsoluteHttpOrHttpsWithAHost)
{
    using P = EntryProblem;
    expectProblems(&EntryRules::webAddress, {
        {"https://example.com/a?b=c#d", std::nullopt},
        {"  HTTP://Example.com  ", std::nullopt},
        {"", P::blankAddress},
        {"   ", P::blankAddress},
        {"--utility-cmd-prefix=/tmp/run.sh", P::notWebAddress},
        {"--proxy-server=evil.example:8080", P::notWebAddress},
        {"-e", P::notWebAddress},
        {"javascript:alert(1)", P::notWebAddress},
        {"data:text/html,<script>x</script>", P::notWebAddress},
        {"file:///etc/passwd", P::notWebAddress},
        {"chrome://settings", P::notWebAddress},
        {"view-source:https://example.com", P::notWebAddress},
        {"mailto:a@example.com?attach=/home/u/.ssh/id_rsa", P::notWebAddress},
        {"ssh://host", P::notWebAddress},
        {"x-terminal-emulator:sh", P::notWebAddress},
        {"example.com/page", P::notWebAddress},
        {"https:///path-only", P::noHost},
        {"https://example.com/\x1b]0;title\x07", P::notWebAddress},
    });
}

TEST(EntryRules, SlackThreadsAreSlackPermalinksThatNameAChannelOrTheClientsAddress)
{
    using P = EntryProblem;
    expectProblems(&EntryRules::slackAddress, {
        {"https://acme.slack.com/archives/C123/p1712345678123456", std::nullopt},
        {"slack://channel?team=T1&id=C2", std::nullopt},
        {"", P::blankAddress},
        {"https://evil.example/archives/C1/p1", P::notSlackAddress},
        {"https://slack.com.evil.example/archives/C1", P::notSlackAddress},
        {"javascript://slack.com/C1%0aalert(1)", P::notSlackAddress},
        {"ftp://acme.slack.com/archives/C1", P::notSlackAddress},
        {"slack://channel?team=T1", P::notSlackAddress},
        {"https://acme.slack.com/intl/en-gb/", P::noSlackChannel},
    });
}

TEST(EntryRules, PathsAreAbsoluteAndTitlesNotBlank)
{
    EXPECT_EQ(*EntryRules::absolutePath(QStringLiteral("/a/./b/../c/")), QStringLiteral("/a/c"));
    for (const char *bad : {"", "relative/path.txt", "~/notes", "-rf"})
        EXPECT_FALSE(EntryRules::absolutePath(QString::fromUtf8(bad))) << bad;
    EXPECT_FALSE(EntryRules::absolutePath(QStringLiteral("/a") + QChar(0) + QStringLiteral("b")));
    EXPECT_EQ(EntryRules::titleProblem(QStringLiteral(" \t")), EntryProblem::blankTitle);
    EXPECT_FALSE(EntryRules::titleProblem(QStringLiteral("x")));
}

// Whatever a stored row holds, what would be handed on is re-serialised and
// starts with its scheme.
TEST(EntryRules, OpenableAddressesAreReserialisedAndNeverReadAsAnOption)
{
    const auto openable = [](const NodePayload &payload) { return EntryRules::openableAddress(payload); };
    const auto tab = [](const char *url) {
        return NodePayload::chromeTab(BrowserTarget{QString::fromUtf8(url), QString(), {}, {}, {}});
    };
    EXPECT_EQ(openable(tab("https://example.com/a b"))->text(), QStringLiteral("https://example.com/a%20b"));
    EXPECT_FALSE(openable(tab("--renderer-cmd-prefix=/x")));
    EXPECT_FALSE(openable(NodePayload::group()));
    EXPECT_EQ(openable(NodePayload::file(FileTarget{QStringLiteral("/tmp/-x y"), {}}))->text(),
              QStringLiteral("file:///tmp/-x%20y"));
    EXPECT_EQ(EntryRules::payloadProblem(NodePayload::folder(FileTarget{QStringLiteral("docs"), {}})),
              EntryProblem::notAbsolutePath);

    const auto slack = [&](const char *permalink, std::optional<QString> team, std::optional<QString> channel) {
        return openable(NodePayload::slackThread(SlackTarget{QString::fromUtf8(permalink), team, channel, {}, {}}));
    };
    // The client's address is rebuilt from its identifiers, each encoded, so
    // that neither can add or cut parts of it.
    EXPECT_EQ(slack("slack://channel?team=T1%26id%3DEVIL&id=C1%23x", QStringLiteral("T1&id=EVIL"),
                    QStringLiteral("C1#x"))
                  ->text(),
              QStringLiteral("slack://channel?team=T1%26id%3DEVIL&id=C1%23x"));
    EXPECT_FALSE(slack("https://evil.example/archives/C1/p1", QStringLiteral("T1"), QStringLiteral("C1")));
    EXPECT_FALSE(EntryRules::slackAppAddress(SlackTarget{QString(), std::nullopt, QStringLiteral("C1"), {}, {}}));
}

} // namespace

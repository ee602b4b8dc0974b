#pragma once

#include "model/NodePayload.h"

#include <QString>

#include <optional>

namespace tarni {

// The Slack service's registered domain. An address is a Slack address when
// its host is this domain or one of its sub-domains.
inline constexpr const char *kSlackDomain = "slack.com";

// Reads team, channel and message timestamp out of a pasted Slack address.
class SlackURLParser {
public:
    // Nothing for text that is no URL or whose host is not Slack's.
    std::optional<SlackTarget> parse(const QString &text) const;

    // "p1712345678123456" -> "1712345678.123456"; a token that already holds
    // a "." or is shorter than 7 characters (after the "p") is kept as it is.
    static QString normalizeTimestampToken(const QString &token);
};

} // namespace tarni

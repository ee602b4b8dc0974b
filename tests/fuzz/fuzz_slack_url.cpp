// Pasted and captured Slack addresses.

#include "FuzzSupport.h"

#include "model/SlackURLParser.h"

#include <QUrl>

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const SlackURLParser parser;
    if (auto target = parser.parse(text)) {
        const QUrl url(target->permalinkURL);
        fuzz::require(url.isValid(), "a Slack target with an invalid address");
        const QString host = url.host().toLower();
        fuzz::require(host == QLatin1String(kSlackDomain) || host.endsWith(u'.' + QLatin1String(kSlackDomain)),
                      "a Slack target outside Slack's domain");
    }
    (void)SlackURLParser::normalizeTimestampToken(text);
    return 0;
}

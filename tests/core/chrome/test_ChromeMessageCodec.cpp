// Decoding and encoding of the Chrome messages.

#include "chrome/ChromeMessageCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tarni;

namespace {

// "command:<type>", "event:<type>", "response", or "error".
std::string caseOf(const json::Decoded<ChromeHostMessage> &decoded)
{
    if (!decoded)
        return "error";
    if (const auto *command = std::get_if<ChromeCommand>(&decoded.value()))
        return "command:" + std::string(command->typeName());
    if (const auto *event = std::get_if<ChromeEvent>(&decoded.value()))
        return "event:" + std::string(event->typeName());
    return "response";
}

BrowserTarget target(const char *url, const char *title)
{
    BrowserTarget t;
    t.url = QString::fromUtf8(url);
    t.titleSnapshot = QString::fromUtf8(title);
    return t;
}

} // namespace

TEST(ChromeMessageCodec, MessagesDecodeAsCommandThenEventThenResponse)
{
    struct Row {
        const char *json;
        const char *expected;
    };
    // Well-formed messages of every kind are the round trip's; these are the
    // order of the candidates, the fallbacks and what is refused.
    const Row rows[] = {
        {R"({"ok":true,"summary":"Captured"})", "response"},
        // The extension adds keys the application does not read.
        {R"({"ok":false,"summary":"No web addresses were given","skipped":2})", "response"},
        {R"({"type":"ping","urls":5,"extra":{"a":[1,2]}})", "command:ping"},
        {R"({"windowID":1,"tabID":2,"type":"focusTab"})", "command:focusTab"},
        // Unknown types fall back to setWindowBounds, then to an error event, then to a response.
        {R"({"type":"resize","windowID":3,"bounds":{"left":1,"top":2,"width":3,"height":4}})", "command:setWindowBounds"},
        {R"({"type":"resize","message":"boom"})", "event:error"},
        {R"({"type":"resize","ok":false})", "response"},
        {R"({"type":"resize"})", "error"},
        {R"({"type":"error","message":"broken"})", "event:error"},
        {R"({"type":"error"})", "error"},
        // Case-sensitive: "Ping" is no command and has no payload for the fallbacks.
        {R"({"type":"Ping"})", "error"},
        // A known command without its payload is no command; other candidates follow.
        {R"({"type":"focusTab","windowID":1})", "error"},
        {R"({"type":"focusTab","windowID":1,"ok":true})", "response"},
        {R"({"type":"openURLsInWindow","windowID":1,"urls":[]})", "command:openURLsInWindow"},
        {R"({"type":"openURLsInWindow","urls":["u"]})", "error"},
        {R"({"type":"openURLsInWindow","windowID":1,"ok":true})", "response"},
        // The new reply keys are checked like the old ones.
        {R"({"ok":true,"opened":[{"index":0,"windowID":1}]})", "error"},
        {R"({"ok":true,"opened":[{"index":"0","windowID":1,"tabID":2}]})", "error"},
        {R"({"ok":true,"capture":{"type":"tab","tab":{"url":"u","titleSnapshot":"t","preferredOpenMode":"existingTab"},"binding":{"tabID":2}}})", "error"},
        {R"({"type":"tabClosed","tabID":"7"})", "error"},
        {R"({"type":"activeTabChanged","tab":{"id":1,"windowID":2,"title":"t","url":"u"}})", "error"},
        {R"({"type":null,"ok":true})", "response"},
        {R"({"ok":"yes"})", "error"},
        {R"({})", "error"},
        {R"({"ok":true} {"ok":true})", "error"},
        {R"({"ok":true)", "error"},
        {"", "error"},
    };
    ChromeMessageCodec codec;
    for (const Row &row : rows)
        EXPECT_EQ(caseOf(codec.decodeMessage(row.json)), row.expected) << row.json;
}

TEST(ChromeMessageCodec, NullOptionalsReadAsAbsent)
{
    ChromeMessageCodec codec;
    const auto response =
        codec.decodeResponse(R"({"ok":true,"summary":null,"windows":null,"capture":null,"opened":null})");
    ASSERT_TRUE(response) << response.error().description().toStdString();
    EXPECT_EQ(response.value(), (ChromeCommandResponse{true, {}, {}, {}, {}}));

    const auto open = codec.decodeCommand(R"({"type":"openURLInWindow","url":"https://a.example","windowID":null})");
    ASSERT_TRUE(open);
    EXPECT_EQ(open.value(), ChromeCommand::openURLInWindow(QStringLiteral("https://a.example")));

    const auto many = codec.decodeCommand(R"({"type":"openURLsInNewWindow","urls":[],"bounds":null})");
    ASSERT_TRUE(many);
    EXPECT_EQ(many.value(), ChromeCommand::openURLsInNewWindow({}));

    const auto tab = codec.decodeEvent(
        R"({"type":"activeTabChanged","tab":{"id":1,"windowID":2,"title":"t","url":"u","isActive":false,"favIconURL":null}})");
    ASSERT_TRUE(tab);
    EXPECT_EQ(tab->as<ChromeEvent::ActiveTabChanged>()->tab.favIconURL, std::nullopt);

    const auto window = codec.decodeEvent(R"({"type":"windowsState","windows":[{"id":4,"bounds":null,"tabs":[]}]})");
    ASSERT_TRUE(window);
    EXPECT_EQ(window->as<ChromeEvent::WindowsState>()->windows.front().bounds, std::nullopt);

    // Required keys are not optional: null there is the wrong type.
    EXPECT_FALSE(codec.decodeResponse(R"({"ok":null})"));
}

TEST(ChromeMessageCodec, CaptureTypeOtherThanTabNeedsAWindowArray)
{
    ChromeMessageCodec codec;
    const char *targetJson = R"({"url":"https://a.example","titleSnapshot":"A","preferredOpenMode":"existingTab"})";
    auto capture = [&](const std::string &body) {
        return codec.decodeResponse(R"({"ok":true,"capture":)" + body + "}");
    };
    const auto tab = capture(std::string(R"({"type":"tab","tab":)") + targetJson + "}");
    ASSERT_TRUE(tab);
    EXPECT_EQ(tab->capture, ChromeCapturePayload::tab(target("https://a.example", "A")));

    for (const char *type : {"window", "Tab", "anything"}) {
        const auto window = capture(std::string(R"({"type":")") + type + R"(","window":[)" + targetJson + "," +
                                    targetJson + "]}");
        ASSERT_TRUE(window) << type;
        EXPECT_EQ(window->capture->asWindow()->window.size(), 2) << type;
        EXPECT_FALSE(capture(std::string(R"({"type":")") + type + R"(","tab":)" + targetJson + "}")) << type;
    }
    EXPECT_FALSE(capture(std::string(R"({"tab":)") + targetJson + "}")) << "type is required";
}

TEST(ChromeMessageCodec, EnvelopeIdIsReadInEitherCaseAndRequired)
{
    ChromeMessageCodec codec;
    const auto lower = codec.decodeEnvelope(R"({"id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d","message":{"ok":true}})");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->id, QUuid(QStringLiteral("{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}")));
    EXPECT_TRUE(std::holds_alternative<ChromeCommandResponse>(lower->message));

    EXPECT_FALSE(codec.decodeEnvelope(R"({"message":{"ok":true}})"));
    EXPECT_FALSE(codec.decodeEnvelope(R"({"id":"nope","message":{"ok":true}})"));
    EXPECT_FALSE(codec.decodeEnvelope(R"({"id":"0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"})"));
}

TEST(ChromeMessageCodec, EveryMessageRoundTripsThroughItsCompactForm)
{
    const ChromeWindowBounds bounds{-10, 20, 1200, 800};
    const ChromeTabState tab{7, 3, QStringLiteral("Tïtle \"quoted\""), QStringLiteral("https://a.example/?q=1"),
                             QStringLiteral("https://a.example/favicon.ico"), true};
    const ChromeWindowState window{3, bounds, {tab, ChromeTabState{8, 3, QStringLiteral("B"), QStringLiteral("b"), {}, false}}};
    SlackTarget slack;
    slack.permalinkURL = QStringLiteral("https://team.slack.com/archives/C1/p1700000000000100");
    slack.channelID = QStringLiteral("C1");
    slack.messageTS = QStringLiteral("1700000000.000100");

    const std::vector<ChromeHostMessage> messages{
        ChromeCommand::focusTab(3, 7),
        ChromeCommand::openURLsInNewWindow({QStringLiteral("https://a.example"), QStringLiteral("https://b.example")}, bounds),
        ChromeCommand::openURLsInNewWindow({QStringLiteral("https://a.example")}),
        ChromeCommand::openURLInWindow(QStringLiteral("https://a.example"), 3),
        ChromeCommand::openURLInWindow(QStringLiteral("https://a.example")),
        ChromeCommand::setWindowBounds(3, bounds),
        ChromeCommand::ping(),
        ChromeCommand::getCurrentWindowState(),
        ChromeCommand::getAllWindowsState(),
        ChromeCommand::captureCurrentTab(),
        ChromeCommand::captureCurrentWindow(),
        ChromeEvent::windowsState({window}),
        ChromeEvent::activeTabChanged(tab),
        ChromeEvent::tabClosed(9007199254740993),
        ChromeEvent::captureResult(ChromeCapturePayload::window({target("u1", "t1"), target("u2", "t2")})),
        ChromeEvent::saveSlackThread(slack),
        ChromeEvent::error(QStringLiteral("broken")),
        ChromeEvent::connected(),
        ChromeCommandResponse{true, QStringLiteral("Done"), QList<ChromeWindowState>{window},
                              ChromeCapturePayload::tab(target("u", "t")), {}},
        ChromeCommandResponse{false, {}, {}, {}, {}},
        ChromeCommandResponse{true, {}, {}, ChromeCapturePayload::tab(target("u", "t"), RuntimeTabBinding{3, 7}),
                              QList<ChromeOpenedTab>{{0, 3, 7}, {2, 3, 9007199254740993}}},
        ChromeCommandResponse{true, {}, {}, {}, QList<ChromeOpenedTab>{}},
        ChromeEvent::captureResult(ChromeCapturePayload::window({target("u1", "t1"), target("u2", "t2")},
                                                                {RuntimeTabBinding{3, 7}, RuntimeTabBinding{3, 8}})),
        ChromeCommand::openURLsInWindow(3, {QStringLiteral("https://a.example"), QStringLiteral("https://b.example")}),
    };
    ChromeMessageCodec codec;
    for (const ChromeHostMessage &message : messages) {
        const ChromeHostEnvelope envelope{QUuid::createUuid(), message};
        const QByteArray bytes = ChromeMessageCodec::encode(envelope);
        EXPECT_FALSE(bytes.contains('\n'));
        const auto decoded = codec.decodeEnvelope(std::string_view(bytes.constData(), std::size_t(bytes.size())));
        ASSERT_TRUE(decoded) << bytes.toStdString() << ": " << decoded.error().description().toStdString();
        EXPECT_EQ(decoded.value(), envelope) << bytes.toStdString();
    }
}

TEST(ChromeWindowBounds, RoundsHalvesAwayFromZeroAndRefusesWhatDoesNotFit)
{
    struct Row {
        QRectF rect;
        std::optional<ChromeWindowBounds> expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {QRectF(10.5, -10.5, 99.5, 0.49), ChromeWindowBounds{11, -11, 100, 0}},
        {QRectF(-0.5, 0.5, 1.4999, 2.5), ChromeWindowBounds{-1, 1, 1, 3}},
        {QRectF(0, 0, 1920, 1080), ChromeWindowBounds{0, 0, 1920, 1080}},
        {QRectF(std::nan(""), 0, 1, 1), std::nullopt},
        {QRectF(0, inf, 1, 1), std::nullopt},
        {QRectF(0, 0, 9.3e18, 1), std::nullopt},
        {QRectF(-9.2e18, 0, 1, 1), ChromeWindowBounds{-9200000000000000000, 0, 1, 1}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(ChromeWindowBounds::fromRect(row.rect), row.expected) << row.rect.x() << "," << row.rect.y();
}

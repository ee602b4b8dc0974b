// The sway layout tree as the window list sees it, and the IPC client against
// a socket that answers badly.

#include "platform/sway/SwayIpc.h"
#include "platform/sway/SwaySidebarDock.h"
#include "platform/sway/SwayWindows.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace tarni;

namespace {

// Recorded from sway 1.7 (trimmed): a tiled XWayland window beside a left
// gap, the sticky borderless sidebar, a window in the scratchpad, and a
// native Wayland window floating with a title bar inside a split container.
const char kTree[] = R"({"id":1,"type":"root","name":"root","rect":{"x":0,"y":0,"width":1280,"height":800},"nodes":[
 {"id":2147483647,"type":"output","name":"__i3","rect":{"x":0,"y":0,"width":1280,"height":800},"nodes":[
  {"id":2147483646,"type":"workspace","name":"__i3_scratch","nodes":[],"floating_nodes":[
   {"id":7,"type":"floating_con","name":"third","rect":{"x":505,"y":86,"width":519,"height":627},
    "deco_rect":{"x":0,"y":0,"width":0,"height":0},"border":"normal","focused":false,"fullscreen_mode":0,
    "sticky":false,"pid":18291,"app_id":null,"window":8388620,"window_properties":{"class":"XTerm"},"nodes":[],"floating_nodes":[]}]}]},
 {"id":3,"type":"output","name":"HEADLESS-1","rect":{"x":1280,"y":0,"width":1280,"height":800},"nodes":[
  {"id":4,"type":"workspace","name":"1","rect":{"x":1530,"y":0,"width":1030,"height":800},"nodes":[
   {"id":9,"type":"con","name":null,"rect":{"x":1530,"y":0,"width":1030,"height":800},"layout":"splitv","nodes":[
    {"id":5,"type":"con","name":"hello x","rect":{"x":1530,"y":25,"width":1030,"height":775},
     "deco_rect":{"x":0,"y":0,"width":1030,"height":25},"border":"normal","focused":false,"fullscreen_mode":1,
     "sticky":false,"pid":15782,"app_id":null,"window":4194316,"window_properties":{"class":"XTerm"},"nodes":[],"floating_nodes":[]}]}],
   "floating_nodes":[
    {"id":6,"type":"floating_con","name":"Tarni Bar","rect":{"x":1280,"y":0,"width":250,"height":800},
     "deco_rect":{"x":0,"y":0,"width":0,"height":0},"border":"none","focused":true,"fullscreen_mode":0,
     "sticky":true,"pid":15952,"app_id":null,"window":6291468,"window_properties":{"class":"tarnibar"},"nodes":[],"floating_nodes":[]},
    {"id":12,"type":"floating_con","name":"a.txt - probe viewer","rect":{"x":300,"y":75,"width":700,"height":475},
     "deco_rect":{"x":50,"y":50,"width":700,"height":25},"border":"normal","focused":false,"fullscreen_mode":0,
     "sticky":false,"pid":20000,"app_id":"tarni_maximized_probe","window":null,"nodes":[],"floating_nodes":[]}]}]}]})";

QJsonDocument json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text);
}

TEST(SwayTree, ListsEveryViewOldestFirstWithItsOuterFrameAndState)
{
    const auto views = parseSwayViews(json(kTree));
    ASSERT_TRUE(views);
    ASSERT_EQ(views->size(), 4) << "split containers have no pid and are no windows";
    QList<std::uint64_t> handles;
    for (const SwayView &view : *views)
        handles << view.window.handle;
    EXPECT_EQ(handles, (QList<std::uint64_t>{5, 6, 7, 12}));

    const SwayView &tiled = views->at(0);
    EXPECT_EQ(tiled.window.frame, QRectF(1530, 0, 1030, 800)) << "the title bar belongs to the frame";
    EXPECT_TRUE(tiled.window.tiled);
    EXPECT_TRUE(tiled.window.fullscreen);
    EXPECT_EQ(tiled.window.appId, QStringLiteral("XTerm"));
    EXPECT_EQ(tiled.x11Window, 4194316u);
    EXPECT_EQ(tiled.output, QRectF(1280, 0, 1280, 800));

    const SwayView &sidebar = views->at(1);
    EXPECT_TRUE(sidebar.floating && sidebar.sticky && sidebar.borderless && sidebar.window.focused);
    EXPECT_FALSE(sidebar.window.tiled);
    EXPECT_EQ(sidebar.window.frame, QRectF(1280, 0, 250, 800));

    const SwayView &hidden = views->at(2);
    EXPECT_TRUE(hidden.window.minimized);
    EXPECT_FALSE(hidden.window.tiled);

    const SwayView &native = views->at(3);
    EXPECT_EQ(native.window.appId, QStringLiteral("tarni_maximized_probe"));
    EXPECT_EQ(native.window.title, QStringLiteral("a.txt - probe viewer"));
    EXPECT_EQ(native.window.pid, 20000);
    EXPECT_EQ(native.x11Window, 0u);
    EXPECT_EQ(native.window.frame, QRectF(300, 50, 700, 500)) << "what `resize set 700 500, move absolute position 300 50` gives";
}

TEST(SwayTree, RefusesMalformedTreesWhole)
{
    QByteArray deep = R"({"id":1,"type":"root","nodes":[)";
    for (int i = 0; i < 200; ++i)
        deep += R"({"id":2,"type":"con","nodes":[)";
    for (int i = 0; i < 200; ++i)
        deep += "]}";
    deep += "]}";
    const QByteArray cases[] = {
        "",
        "garbage",
        "[]",
        R"({"type":"output","nodes":[]})",
        R"({"type":"root","nodes":{}})",
        R"({"type":"root","nodes":[7]})",
        R"({"type":"root","nodes":[{"type":"con","pid":5,"rect":{"x":0,"y":0,"width":1,"height":1}}]})",
        R"({"type":"root","nodes":[{"type":"con","id":1.5,"pid":5,"rect":{"x":0,"y":0,"width":1,"height":1}}]})",
        R"({"type":"root","nodes":[{"type":"con","id":-3,"pid":5,"rect":{"x":0,"y":0,"width":1,"height":1}}]})",
        R"({"type":"root","nodes":[{"type":"con","id":3,"pid":"5","rect":{"x":0,"y":0,"width":1,"height":1}}]})",
        R"({"type":"root","nodes":[{"type":"con","id":3,"pid":5,"rect":{"x":1e300,"y":0,"width":1,"height":1}}]})",
        R"({"type":"root","nodes":[{"type":"con","id":3,"pid":5,"rect":{"x":0,"y":0,"width":-1,"height":1}}]})",
        R"({"type":"root","nodes":[{"type":"con","id":3,"pid":5}]})",
        deep,
    };
    for (const QByteArray &text : cases)
        EXPECT_FALSE(parseSwayViews(json(text))) << text.left(80).constData();
    // A tree without windows is a valid, empty list.
    const auto empty = parseSwayViews(json(R"({"type":"root","nodes":[{"type":"output","nodes":[]}]})"));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isEmpty());
}

TEST(SwayTree, FrameCommandsTakeOnlySaneWholeNumbers)
{
    EXPECT_EQ(swayFrameCommands(QRectF(300.4, -20.6, 699.5, 500)),
              QByteArray("resize set 700 500, move absolute position 300 -21"));
    for (const QRectF &bad : {QRectF(0, 0, 0, 100), QRectF(0, 0, 100, -5), QRectF(NAN, 0, 100, 100),
                              QRectF(0, INFINITY, 100, 100), QRectF(0, 0, 1e9, 100)})
        EXPECT_FALSE(swayFrameCommands(bad));
}

TEST(SwayConfig, TheDefaultLeftGapIsTheLastTopLevelLineThatSetsIt)
{
    // -1: cannot be told.
    const std::pair<const char *, int> cases[] = {
        {"xwayland enable\n", 0},
        {"gaps inner 5\ngaps outer 10\n", 10},
        {"gaps outer 10\n  gaps left 4px\n# gaps left 99\n", 4},
        {"gaps left 4\ngaps horizontal 12\nworkspace 3 gaps left 50\n", 12},
        {"bar {\n  gaps 3\n  colors {\n  }\n  gaps left 30\n}\ngaps top 8\n", 0},
        {"set $g 10\ngaps outer $g\n", -1},
        {"gaps left 10 px\n", -1},
    };
    for (const auto &[config, gap] : cases)
        EXPECT_EQ(swayDefaultLeftGap(QString::fromUtf8(config)).value_or(-1), gap) << config;
}

// A one-connection-at-a-time server that answers each request with what
// `answer` makes of it, or closes the connection on an empty answer.
class ScriptedSocket {
public:
    explicit ScriptedSocket(std::function<QByteArray(std::uint32_t type)> answer)
        : m_answer(std::move(answer))
    {
        m_path = m_dir.filePath(QStringLiteral("ipc.sock")).toUtf8();
        m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.constData(), sizeof(address.sun_path) - 1);
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
            || ::listen(m_listener, 4) != 0)
            m_path.clear();
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedSocket()
    {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    const QByteArray &path() const { return m_path; }
    int connections() const { return m_connections; }

    static QByteArray frame(std::uint32_t type, const QByteArray &payload, std::uint32_t length)
    {
        QByteArray out("i3-ipc");
        for (std::uint32_t value : {length, type})
            for (int i = 0; i < 4; ++i)
                out += char((value >> (8 * i)) & 0xff);
        return out + payload;
    }

private:
    void serve()
    {
        while (!m_stop) {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            ++m_connections;
            char header[14];
            while (::recv(client, header, sizeof header, MSG_WAITALL) == sizeof header) {
                std::uint32_t length = 0, type = 0;
                std::memcpy(&length, header + 6, 4);
                std::memcpy(&type, header + 10, 4);
                QByteArray payload(qsizetype(length), '\0');
                if (length && ::recv(client, payload.data(), length, MSG_WAITALL) != ssize_t(length))
                    break;
                const QByteArray answer = m_answer(type);
                if (answer.isEmpty() || ::send(client, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL) < 0)
                    break;
            }
            ::close(client);
        }
    }

    QTemporaryDir m_dir;
    QByteArray m_path;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::function<QByteArray(std::uint32_t)> m_answer;
    std::thread m_thread;
};

TEST(SwayIpcClient, RefusesBadRepliesInTimeAndConnectsAgainAfterThem)
{
    const QByteArray version = R"({"major":1,"minor":7})";
    // The first requests get replies broken in one way each; a broken frame
    // ends the connection, while a reply that is only not JSON keeps it.
    const QList<QByteArray> broken = {
        ScriptedSocket::frame(7, version, std::uint32_t(version.size())).replace(0, 2, "xx"),
        ScriptedSocket::frame(4, version, std::uint32_t(version.size())),
        ScriptedSocket::frame(7, version.left(5), std::uint32_t(version.size())),
        ScriptedSocket::frame(7, {}, SwayIpc::kMaxReplySize + 1),
        QByteArray("i3-ipc\x05"),
        ScriptedSocket::frame(7, "not json", 8),
    };
    std::atomic<int> requests{0};
    ScriptedSocket server([&](std::uint32_t type) {
        const int request = requests++;
        if (request < broken.size())
            return broken.at(request);
        return ScriptedSocket::frame(type, version, std::uint32_t(version.size()));
    });
    ASSERT_FALSE(server.path().isEmpty());
    SwayIpc ipc(server.path(), 300);
    for (qsizetype i = 0; i < broken.size(); ++i) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(ipc.answers()) << "broken reply " << i;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500)) << "broken reply " << i;
    }
    EXPECT_TRUE(ipc.answers());
    EXPECT_EQ(server.connections(), broken.size());

    SwayIpc nowhere(QByteArray("/nonexistent/sway.sock"), 300);
    EXPECT_FALSE(nowhere.answers());
    EXPECT_FALSE(nowhere.runCommand("nop"));
}

TEST(SwayIpcClient, CommandResultsSucceedOnlyWhenEveryCommandDid)
{
    EXPECT_TRUE(swayCommandsSucceeded(json(R"([{"success":true},{"success":true}])")));
    for (const char *reply : {R"([{"success":true},{"success":false,"error":"x"}])", "[]", R"({"success":true})",
                              R"([{"success":"true"}])", "[1]"})
        EXPECT_FALSE(swayCommandsSucceeded(json(reply))) << reply;
}

} // namespace

#pragma once

#include <QByteArray>
#include <QJsonDocument>

#include <cstdint>
#include <optional>

namespace tarni {

// A synchronous client of the i3-compatible IPC socket that sway offers
// ($SWAYSOCK). One request at a time, each bounded by a deadline; a socket
// that went away (the compositor restarted) is connected again on the next
// request.
class SwayIpc {
public:
    enum class MessageType : std::uint32_t {
        runCommand = 0,
        getWorkspaces = 1,
        getOutputs = 3,
        getTree = 4,
        getVersion = 7,
        getConfig = 9,
    };

    // Replies beyond this size are refused; a tree of many hundred windows
    // stays far below it.
    static constexpr std::uint32_t kMaxReplySize = 64u << 20;

    explicit SwayIpc(QByteArray socketPath, int timeoutMs = 1000);
    ~SwayIpc();
    SwayIpc(const SwayIpc &) = delete;
    SwayIpc &operator=(const SwayIpc &) = delete;

    const QByteArray &socketPath() const { return m_socketPath; }

    // The payload of the reply; none when the compositor could not be
    // reached, did not answer in time or answered with a bad header.
    std::optional<QByteArray> request(MessageType type, const QByteArray &payload = {});
    // The reply parsed as JSON; none also when it is not JSON.
    std::optional<QJsonDocument> requestJson(MessageType type, const QByteArray &payload = {});
    // Runs a command list; true when every command in it succeeded.
    bool runCommand(const QByteArray &command);
    // Whether the compositor answers GET_VERSION now.
    bool answers();

private:
    bool connectSocket();
    void closeSocket();
    std::optional<QByteArray> exchange(MessageType type, const QByteArray &payload);

    QByteArray m_socketPath;
    int m_timeoutMs;
    int m_fd = -1;
};

// The results of a RUN_COMMAND reply: true when it is an array of objects
// that all say success.
bool swayCommandsSucceeded(const QJsonDocument &reply);

} // namespace tarni

#include "platform/sway/SwayIpc.h"

#include "platform/sway/SwayLogging.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarni {

namespace {

constexpr char kMagic[] = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t kHeaderSize = sizeof(kMagic) + 8;

using Clock = std::chrono::steady_clock;

void putLittleEndian(char *out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint32_t littleEndian(const char *in)
{
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= std::uint32_t(static_cast<unsigned char>(in[i])) << (8 * i);
    return value;
}

// Waits for the socket until the deadline; false on timeout, error or hang-up
// without data.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        return (p.revents & events) != 0;
    }
}

bool sendAll(int fd, const char *data, std::size_t size, Clock::time_point deadline)
{
    while (size > 0) {
        if (!waitFor(fd, POLLOUT, deadline))
            return false;
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool receiveAll(int fd, char *data, std::size_t size, Clock::time_point deadline)
{
    while (size > 0) {
        if (!waitFor(fd, POLLIN, deadline))
            return false;
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

SwayIpc::SwayIpc(QByteArray socketPath, int timeoutMs) : m_socketPath(std::move(socketPath)), m_timeoutMs(timeoutMs) {}

SwayIpc::~SwayIpc()
{
    closeSocket();
}

bool SwayIpc::connectSocket()
{
    if (m_fd >= 0)
        return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_socketPath.isEmpty() || std::size_t(m_socketPath.size()) >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, m_socketPath.constData(), std::size_t(m_socketPath.size()));
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0)
        return false;
    // A local socket connects at once or not at all.
    if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        closeSocket();
        return false;
    }
    return true;
}

void SwayIpc::closeSocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::optional<QByteArray> SwayIpc::exchange(MessageType type, const QByteArray &payload)
{
    if (!connectSocket())
        return std::nullopt;
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    QByteArray message(qsizetype(kHeaderSize), '\0');
    std::memcpy(message.data(), kMagic, sizeof(kMagic));
    putLittleEndian(message.data() + sizeof(kMagic), std::uint32_t(payload.size()));
    putLittleEndian(message.data() + sizeof(kMagic) + 4, static_cast<std::uint32_t>(type));
    message += payload;
    char header[kHeaderSize];
    if (!sendAll(m_fd, message.constData(), std::size_t(message.size()), deadline)
        || !receiveAll(m_fd, header, kHeaderSize, deadline)) {
        closeSocket();
        return std::nullopt;
    }
    const std::uint32_t length = littleEndian(header + sizeof(kMagic));
    const std::uint32_t replyType = littleEndian(header + sizeof(kMagic) + 4);
    // After a bad header the stream cannot be trusted to be in step again.
    if (std::memcmp(header, kMagic, sizeof(kMagic)) != 0 || replyType != static_cast<std::uint32_t>(type)
        || length > kMaxReplySize) {
        qCWarning(lcSway) << "unexpected reply header from" << m_socketPath << "type" << replyType << "length"
                          << length;
        closeSocket();
        return std::nullopt;
    }
    QByteArray reply(qsizetype(length), Qt::Uninitialized);
    if (!receiveAll(m_fd, reply.data(), length, deadline)) {
        closeSocket();
        return std::nullopt;
    }
    return reply;
}

std::optional<QByteArray> SwayIpc::request(MessageType type, const QByteArray &payload)
{
    const bool wasConnected = m_fd >= 0;
    if (auto reply = exchange(type, payload))
        return reply;
    // A kept connection may have died with a compositor that came back since;
    // a command is not sent twice, as the first may have run.
    if (wasConnected && type != MessageType::runCommand)
        return exchange(type, payload);
    return std::nullopt;
}

std::optional<QJsonDocument> SwayIpc::requestJson(MessageType type, const QByteArray &payload)
{
    const auto reply = request(type, payload);
    if (!reply)
        return std::nullopt;
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(*reply, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(lcSway) << "unreadable reply:" << error.errorString();
        return std::nullopt;
    }
    return document;
}

bool SwayIpc::runCommand(const QByteArray &command)
{
    const auto reply = requestJson(MessageType::runCommand, command);
    const bool succeeded = reply && swayCommandsSucceeded(*reply);
    if (!succeeded)
        qCWarning(lcSway) << "command failed:" << command << (reply ? reply->toJson(QJsonDocument::Compact) : "");
    return succeeded;
}

bool SwayIpc::answers()
{
    const auto reply = requestJson(MessageType::getVersion);
    return reply && reply->isObject() && reply->object().contains(QLatin1String("major"));
}

bool swayCommandsSucceeded(const QJsonDocument &reply)
{
    if (!reply.isArray() || reply.array().isEmpty())
        return false;
    for (const QJsonValue &result : reply.array())
        if (!result.isObject() || result.toObject().value(QLatin1String("success")) != QJsonValue(true))
            return false;
    return true;
}

} // namespace tarni

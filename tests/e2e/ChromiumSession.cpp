#include "ChromiumSession.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace tarni::test {

namespace fs = std::filesystem;
using namespace std::chrono;

static int highCloexec(int fd)
{
    // Keep the pipe ends away from 3 and 4, which the browser must receive.
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

std::unique_ptr<ChromiumSession> ChromiumSession::start(const Options &options, QString *error)
{
    std::unique_ptr<ChromiumSession> session(new ChromiumSession);
    int toBrowser[2], fromBrowser[2];
    if (::pipe(toBrowser) != 0 || ::pipe(fromBrowser) != 0) {
        *error = QStringLiteral("cannot create pipes");
        return nullptr;
    }
    for (int *fd : {&toBrowser[0], &toBrowser[1], &fromBrowser[0], &fromBrowser[1]})
        *fd = highCloexec(*fd);

    const fs::path tmp = options.home / "tmp";
    fs::create_directories(tmp);
    session->m_logPath = options.home / "chromium.log";

    std::vector<std::string> args{
        "/usr/bin/chromium",
        "--no-sandbox",
        "--user-data-dir=" + options.userDataDir.string(),
        "--load-extension=" + options.extensionDir.string(),
        "--disable-extensions-except=" + options.extensionDir.string(),
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-gpu",
        "--disable-quic",
        "--disable-features=Translate,MediaRouter",
        "--password-store=basic",
        "--log-level=3",
        "--remote-debugging-pipe",
    };
    if (options.display.isEmpty())
        args.push_back("--headless=new");
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    args.push_back(options.startUrl);

    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (entry.starts_with("DISPLAY=") || entry.starts_with("TARNI_UITEST_ROOT=") || entry.starts_with("HOME=") ||
            entry.starts_with("TMPDIR=") || entry.starts_with("XDG_"))
            continue;
        env.emplace_back(entry);
    }
    env.push_back("HOME=" + options.home.string());
    env.push_back("TMPDIR=" + tmp.string());
    if (!options.display.isEmpty())
        env.push_back("DISPLAY=" + options.display.toStdString());
    env.insert(env.end(), options.env.begin(), options.env.end());

    std::vector<char *> argv, envp;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, session->m_logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, toBrowser[0], 3);
    posix_spawn_file_actions_adddup2(&actions, fromBrowser[1], 4);
    posix_spawn_file_actions_addchdir_np(&actions, options.home.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that stopping it takes its helpers along.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int rc = ::posix_spawn(&session->m_pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toBrowser[0]);
    ::close(fromBrowser[1]);
    session->m_toBrowser = toBrowser[1];
    session->m_fromBrowser = fromBrowser[0];
    if (rc != 0) {
        session->m_pid = -1;
        *error = QStringLiteral("cannot start /usr/bin/chromium: %1").arg(QString::fromLocal8Bit(std::strerror(rc)));
        return nullptr;
    }
    return session;
}

ChromiumSession::~ChromiumSession()
{
    if (m_toBrowser >= 0)
        ::close(m_toBrowser);
    if (m_fromBrowser >= 0)
        ::close(m_fromBrowser);
    if (m_pid <= 0)
        return;
    ::kill(-m_pid, SIGTERM);
    const auto deadline = steady_clock::now() + seconds(5);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (steady_clock::now() > deadline) {
            ::kill(-m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        ::usleep(10000);
    }
    // Helpers that outlived the browser (they are in its group, which we made).
    ::kill(-m_pid, SIGKILL);
}

std::optional<QJsonObject> ChromiumSession::devTools(const QString &method, const QJsonObject &params,
                                                     const QString &sessionId, milliseconds timeout)
{
    const int id = m_nextId++;
    QJsonObject message{{QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    if (!sessionId.isEmpty())
        message.insert(QStringLiteral("sessionId"), sessionId);
    QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    bytes.append('\0');
    if (::write(m_toBrowser, bytes.constData(), std::size_t(bytes.size())) != bytes.size())
        return std::nullopt;

    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        std::size_t end;
        while ((end = m_buffer.find('\0')) != std::string::npos) {
            const QByteArray text = QByteArray::fromStdString(m_buffer.substr(0, end));
            m_buffer.erase(0, end + 1);
            const QJsonObject reply = QJsonDocument::fromJson(text).object();
            if (reply.value(QStringLiteral("id")).toInt(-1) != id)
                continue; // an event, or the answer to an earlier command
            if (reply.contains(QStringLiteral("error")))
                return std::nullopt;
            return reply.value(QStringLiteral("result")).toObject();
        }
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        pollfd fd{m_fromBrowser, POLLIN, 0};
        if (::poll(&fd, 1, int(left)) <= 0)
            continue;
        char chunk[65536];
        const ssize_t n = ::read(m_fromBrowser, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        m_buffer.append(chunk, std::size_t(n));
    }
}

std::optional<QJsonObject> ChromiumSession::evaluateInExtension(const QString &extensionId, const QString &expression)
{
    const QString prefix = QStringLiteral("chrome-extension://%1/").arg(extensionId);
    QString targetId;
    const auto deadline = steady_clock::now() + seconds(10);
    while (targetId.isEmpty() && steady_clock::now() < deadline) {
        const auto targets = devTools(QStringLiteral("Target.getTargets"));
        if (!targets)
            return std::nullopt;
        for (const auto &info : targets->value(QStringLiteral("targetInfos")).toArray()) {
            const QJsonObject target = info.toObject();
            if (target.value(QStringLiteral("type")).toString() == QStringLiteral("service_worker") &&
                target.value(QStringLiteral("url")).toString().startsWith(prefix))
                targetId = target.value(QStringLiteral("targetId")).toString();
        }
        if (targetId.isEmpty())
            ::usleep(50000);
    }
    if (targetId.isEmpty())
        return std::nullopt;
    const auto attached = devTools(QStringLiteral("Target.attachToTarget"),
                                   {{QStringLiteral("targetId"), targetId}, {QStringLiteral("flatten"), true}});
    if (!attached)
        return std::nullopt;
    return devTools(QStringLiteral("Runtime.evaluate"),
                    {{QStringLiteral("expression"), expression}, {QStringLiteral("returnByValue"), true},
                     {QStringLiteral("awaitPromise"), true}},
                    attached->value(QStringLiteral("sessionId")).toString());
}

std::string ChromiumSession::log() const
{
    std::ifstream in(m_logPath);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace tarni::test

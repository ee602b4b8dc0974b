#include "FirefoxSession.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <unistd.h>

namespace tarni::test {

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

constexpr QByteArrayView kMark = "@@tarni ";
// Firefox says a lot; the end of it is what explains a failure.
constexpr qsizetype kMaxLog = 256 * 1024;

} // namespace

std::unique_ptr<FirefoxSession> FirefoxSession::start(const Options &options, QString *error)
{
    if (!fs::exists("/usr/bin/firefox-esr")) {
        *error = QStringLiteral("/usr/bin/firefox-esr is not installed (scripts/install-deps.sh installs it)");
        return nullptr;
    }
    if (!fs::exists(options.puppeteerDir / "node_modules" / "puppeteer-core" / "package.json")) {
        *error = QStringLiteral("puppeteer-core is not installed in %1 (scripts/install-deps.sh installs it)")
                     .arg(QString::fromStdString(options.puppeteerDir.string()));
        return nullptr;
    }
    std::unique_ptr<FirefoxSession> session(new FirefoxSession);
    const fs::path tmp = options.home / "tmp";
    fs::create_directories(tmp);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : env.keys()) {
        if (name == QLatin1String("DISPLAY") || name == QLatin1String("WAYLAND_DISPLAY") ||
            name == QLatin1String("TARNI_UITEST_ROOT") || name == QLatin1String("HOME") ||
            name == QLatin1String("TMPDIR") || name.startsWith(QLatin1String("XDG_")))
            env.remove(name);
    }
    env.insert(QStringLiteral("HOME"), QString::fromStdString(options.home.string()));
    env.insert(QStringLiteral("TMPDIR"), QString::fromStdString(tmp.string()));
    if (!options.display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), options.display);
    for (const std::string &entry : options.env) {
        const auto equals = entry.find('=');
        if (equals != std::string::npos)
            env.insert(QString::fromStdString(entry.substr(0, equals)), QString::fromStdString(entry.substr(equals + 1)));
    }

    session->m_driver = std::make_unique<QProcess>();
    QProcess &driver = *session->m_driver;
    driver.setProcessEnvironment(env);
    driver.setWorkingDirectory(QString::fromStdString(options.home.string()));
    driver.setProcessChannelMode(QProcess::MergedChannels);
    // Its own process group, so that stopping it takes the browser along.
    driver.setChildProcessModifier([] { ::setpgid(0, 0); });
    driver.start(QStringLiteral("node"), {QString::fromStdString(options.driverScript.string()),
                                          QString::fromStdString(options.puppeteerDir.string()),
                                          QString::fromStdString(options.extensionDir.string()),
                                          QString::fromStdString(options.startUrl)});
    if (!driver.waitForStarted(10000)) {
        *error = QStringLiteral("cannot start node: %1").arg(driver.errorString());
        return nullptr;
    }
    const auto ready = session->nextAnswer(seconds(90));
    if (!ready || !ready->value(QStringLiteral("ready")).toBool()) {
        *error = QStringLiteral("Firefox did not start with the extension: %1\n%2")
                     .arg(ready ? ready->value(QStringLiteral("error")).toString() : QStringLiteral("no answer"),
                          QString::fromStdString(session->log()));
        return nullptr;
    }
    return session;
}

FirefoxSession::~FirefoxSession()
{
    if (!m_driver || m_driver->state() == QProcess::NotRunning)
        return;
    const qint64 pid = m_driver->processId();
    if (pid <= 0)
        return;
    // The end of its input closes the browser.
    m_driver->closeWriteChannel();
    if (!m_driver->waitForFinished(15000))
        ::kill(-pid_t(pid), SIGKILL);
    m_driver->waitForFinished(5000);
    // Anything of the browser that outlived the driver (its group, which we made).
    ::kill(-pid_t(pid), SIGKILL);
}

std::optional<QJsonObject> FirefoxSession::nextAnswer(milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        qsizetype end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            if (!line.startsWith(kMark)) {
                m_log.append(line).append('\n');
                if (m_log.size() > kMaxLog)
                    m_log.remove(0, m_log.size() - kMaxLog);
                continue;
            }
            const QJsonObject answer = QJsonDocument::fromJson(line.mid(kMark.size())).object();
            if (!answer.isEmpty())
                return answer;
        }
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        if (m_driver->state() == QProcess::NotRunning) {
            const QByteArray rest = m_driver->readAll();
            if (rest.isEmpty())
                return std::nullopt;
            m_buffer.append(rest);
            continue;
        }
        // The test's own event loop keeps running: it serves the pages the
        // browser loads meanwhile.
        if (!m_driver->waitForReadyRead(10))
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        m_buffer.append(m_driver->readAll());
    }
}

std::optional<QJsonValue> FirefoxSession::evaluateInExtension(const QString &expression, QString *error,
                                                              milliseconds timeout)
{
    QString ignored;
    QString &reason = error ? *error : ignored;
    const int id = m_nextId++;
    const QJsonObject request{{QStringLiteral("id"), id}, {QStringLiteral("evaluate"), expression}};
    m_driver->write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        const auto answer = nextAnswer(duration_cast<milliseconds>(deadline - steady_clock::now()));
        if (!answer) {
            reason = QStringLiteral("no answer from the driver");
            return std::nullopt;
        }
        if (answer->value(QStringLiteral("id")).toInt() != id)
            continue;
        if (answer->contains(QStringLiteral("error"))) {
            reason = answer->value(QStringLiteral("error")).toString();
            return std::nullopt;
        }
        return answer->value(QStringLiteral("value"));
    }
}

std::string FirefoxSession::log() const
{
    return m_log.toStdString();
}

} // namespace tarni::test

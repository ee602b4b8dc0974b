#pragma once

// Debian's Firefox ESR with our extension, started by the test itself through
// tests/e2e/firefox-driver.mjs (puppeteer-core over WebDriver BiDi): its own
// home and temporary folders, headless unless a display is given. Lets the
// test run code in the extension's background page, as the Chromium test
// does in the service worker.

#include <QJsonValue>
#include <QProcess>
#include <QString>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarni::test {

class FirefoxSession {
public:
    struct Options {
        std::filesystem::path home;
        std::filesystem::path extensionDir;
        std::filesystem::path puppeteerDir;
        std::filesystem::path driverScript;
        std::string startUrl;
        // Empty: headless. Otherwise the X display to show windows on.
        QString display;
        // "NAME=value" entries added to the environment (the host inherits them).
        std::vector<std::string> env;
    };

    // Returns once the extension is installed and the start page loaded.
    static std::unique_ptr<FirefoxSession> start(const Options &options, QString *error);
    ~FirefoxSession();
    FirefoxSession(const FirefoxSession &) = delete;
    FirefoxSession &operator=(const FirefoxSession &) = delete;

    // The awaited value of `expression` in the extension's background page,
    // or nothing (with the reason in `error`) on an exception or time-out.
    std::optional<QJsonValue> evaluateInExtension(const QString &expression, QString *error = nullptr,
                                                  std::chrono::milliseconds timeout = std::chrono::seconds(15));

    // The driver's and the browser's output, for failure messages.
    std::string log() const;

private:
    FirefoxSession() = default;
    std::optional<QJsonObject> nextAnswer(std::chrono::milliseconds timeout);

    std::unique_ptr<QProcess> m_driver;
    QByteArray m_buffer;
    QByteArray m_log;
    int m_nextId = 1;
};

} // namespace tarni::test

#pragma once

// Debian's Chromium with our extension, started by the test itself: its own
// profile, home and temporary folders, and a DevTools pipe for the few things
// a test cannot do through the extension (running the extension's own code
// the way a context-menu click would).

#include <QJsonObject>
#include <QString>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarni::test {

class ChromiumSession {
public:
    struct Options {
        std::filesystem::path userDataDir;
        std::filesystem::path home;
        std::filesystem::path extensionDir;
        std::string startUrl;
        // Empty: headless. Otherwise the X display to show windows on.
        QString display;
        // "NAME=value" entries added to the environment (the host inherits them).
        std::vector<std::string> env;
        // Further command-line switches, before the start page.
        std::vector<std::string> arguments;
    };

    static std::unique_ptr<ChromiumSession> start(const Options &options, QString *error);
    ~ChromiumSession();
    ChromiumSession(const ChromiumSession &) = delete;
    ChromiumSession &operator=(const ChromiumSession &) = delete;

    // One DevTools command; its "result" object, or nothing (error or time-out).
    std::optional<QJsonObject> devTools(const QString &method, const QJsonObject &params = {},
                                        const QString &sessionId = {},
                                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Evaluates `expression` in the extension's service worker.
    std::optional<QJsonObject> evaluateInExtension(const QString &extensionId, const QString &expression);

    // The browser's own output, for failure messages.
    std::string log() const;

private:
    ChromiumSession() = default;

    pid_t m_pid = -1;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    std::string m_buffer;
    int m_nextId = 1;
    std::filesystem::path m_logPath;
};

} // namespace tarni::test

#pragma once

// The records exchanged by the companion extension, the native messaging host
// and the application: an envelope carrying a command, an event or a response.

#include "model/NodePayload.h"

#include <QList>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace tarni {

struct ChromeWindowBounds {
    std::int64_t left = 0;
    std::int64_t top = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    // Each edge rounded to the nearest integer, halves away from zero. Nullopt
    // for a rectangle that is not finite or does not fit in 64-bit integers.
    static std::optional<ChromeWindowBounds> fromRect(const QRectF &rect);

    bool operator==(const ChromeWindowBounds &) const = default;
};

struct ChromeTabState {
    std::int64_t id = 0;
    std::int64_t windowID = 0;
    QString title;
    QString url;
    std::optional<QString> favIconURL;
    bool isActive = false;

    bool operator==(const ChromeTabState &) const = default;
};

struct ChromeWindowState {
    std::int64_t id = 0;
    std::optional<ChromeWindowBounds> bounds;
    QList<ChromeTabState> tabs;

    bool operator==(const ChromeWindowState &) const = default;
};

// A captured tab or window. The targets themselves never carry a runtime tab
// binding (their JSON form has no place for it); the live tabs they came from
// travel beside them, when the extension names them.
struct ChromeCapturePayload {
    struct Tab {
        BrowserTarget tab;
        std::optional<RuntimeTabBinding> binding;
        bool operator==(const Tab &) const = default;
    };
    struct Window {
        QList<BrowserTarget> window; // in tab order
        // One per target, in the same order; empty when not reported.
        QList<RuntimeTabBinding> bindings;
        bool operator==(const Window &) const = default;
    };
    std::variant<Tab, Window> value;

    static ChromeCapturePayload tab(BrowserTarget target, std::optional<RuntimeTabBinding> binding = {})
    {
        return {Tab{std::move(target), binding}};
    }
    static ChromeCapturePayload window(QList<BrowserTarget> targets, QList<RuntimeTabBinding> bindings = {})
    {
        return {Window{std::move(targets), std::move(bindings)}};
    }
    const Tab *asTab() const { return std::get_if<Tab>(&value); }
    const Window *asWindow() const { return std::get_if<Window>(&value); }

    bool operator==(const ChromeCapturePayload &) const = default;
};

// Application to extension.
struct ChromeCommand {
    // Nested cases carry no default member initializers: a variant of them
    // must be default-constructible inside the enclosing class already.
    struct FocusTab {
        std::int64_t windowID;
        std::int64_t tabID;
        bool operator==(const FocusTab &) const = default;
    };
    struct OpenURLsInNewWindow {
        QStringList urls;
        std::optional<ChromeWindowBounds> bounds;
        bool operator==(const OpenURLsInNewWindow &) const = default;
    };
    struct OpenURLInWindow {
        QString url;
        std::optional<std::int64_t> windowID;
        bool operator==(const OpenURLInWindow &) const = default;
    };
    struct SetWindowBounds {
        std::int64_t windowID;
        ChromeWindowBounds bounds;
        bool operator==(const SetWindowBounds &) const = default;
    };
    // Appends background tabs to an open window.
    struct OpenURLsInWindow {
        std::int64_t windowID;
        QStringList urls;
        bool operator==(const OpenURLsInWindow &) const = default;
    };
    struct Ping {
        bool operator==(const Ping &) const = default;
    };
    struct GetCurrentWindowState {
        bool operator==(const GetCurrentWindowState &) const = default;
    };
    struct GetAllWindowsState {
        bool operator==(const GetAllWindowsState &) const = default;
    };
    struct CaptureCurrentTab {
        bool operator==(const CaptureCurrentTab &) const = default;
    };
    struct CaptureCurrentWindow {
        bool operator==(const CaptureCurrentWindow &) const = default;
    };
    using Value = std::variant<FocusTab, OpenURLsInNewWindow, OpenURLInWindow, SetWindowBounds, Ping,
                               GetCurrentWindowState, GetAllWindowsState, CaptureCurrentTab, CaptureCurrentWindow,
                               OpenURLsInWindow>;
    Value value;

    static ChromeCommand focusTab(std::int64_t windowID, std::int64_t tabID) { return {FocusTab{windowID, tabID}}; }
    static ChromeCommand openURLsInNewWindow(QStringList urls, std::optional<ChromeWindowBounds> bounds = {})
    {
        return {OpenURLsInNewWindow{std::move(urls), bounds}};
    }
    static ChromeCommand openURLInWindow(QString url, std::optional<std::int64_t> windowID = {})
    {
        return {OpenURLInWindow{std::move(url), windowID}};
    }
    static ChromeCommand setWindowBounds(std::int64_t windowID, ChromeWindowBounds bounds)
    {
        return {SetWindowBounds{windowID, bounds}};
    }
    static ChromeCommand openURLsInWindow(std::int64_t windowID, QStringList urls)
    {
        return {OpenURLsInWindow{windowID, std::move(urls)}};
    }
    static ChromeCommand ping() { return {Ping{}}; }
    static ChromeCommand getCurrentWindowState() { return {GetCurrentWindowState{}}; }
    static ChromeCommand getAllWindowsState() { return {GetAllWindowsState{}}; }
    static ChromeCommand captureCurrentTab() { return {CaptureCurrentTab{}}; }
    static ChromeCommand captureCurrentWindow() { return {CaptureCurrentWindow{}}; }

    template <class T>
    const T *as() const { return std::get_if<T>(&value); }
    // The `type` text of this case.
    std::string_view typeName() const;

    bool operator==(const ChromeCommand &) const = default;
};

// Extension to application, unsolicited.
struct ChromeEvent {
    struct WindowsState {
        QList<ChromeWindowState> windows;
        bool operator==(const WindowsState &) const = default;
    };
    struct ActiveTabChanged {
        ChromeTabState tab;
        bool operator==(const ActiveTabChanged &) const = default;
    };
    struct TabClosed {
        std::int64_t tabID;
        bool operator==(const TabClosed &) const = default;
    };
    struct CaptureResult {
        ChromeCapturePayload capture;
        bool operator==(const CaptureResult &) const = default;
    };
    struct SaveSlackThread {
        SlackTarget slackThread;
        bool operator==(const SaveSlackThread &) const = default;
    };
    struct Error {
        QString message;
        bool operator==(const Error &) const = default;
    };
    struct Connected {
        bool operator==(const Connected &) const = default;
    };
    using Value = std::variant<WindowsState, ActiveTabChanged, TabClosed, CaptureResult, SaveSlackThread, Error, Connected>;
    Value value;

    static ChromeEvent windowsState(QList<ChromeWindowState> windows) { return {WindowsState{std::move(windows)}}; }
    static ChromeEvent activeTabChanged(ChromeTabState tab) { return {ActiveTabChanged{std::move(tab)}}; }
    static ChromeEvent tabClosed(std::int64_t tabID) { return {TabClosed{tabID}}; }
    static ChromeEvent captureResult(ChromeCapturePayload capture) { return {CaptureResult{std::move(capture)}}; }
    static ChromeEvent saveSlackThread(SlackTarget target) { return {SaveSlackThread{std::move(target)}}; }
    static ChromeEvent error(QString message) { return {Error{std::move(message)}}; }
    static ChromeEvent connected() { return {Connected{}}; }

    template <class T>
    const T *as() const { return std::get_if<T>(&value); }
    std::string_view typeName() const;

    bool operator==(const ChromeEvent &) const = default;
};

// A tab that an open command made: `index` is the address's position in the
// command's list (0 for a single address).
struct ChromeOpenedTab {
    std::int64_t index = 0;
    std::int64_t windowID = 0;
    std::int64_t tabID = 0;

    bool operator==(const ChromeOpenedTab &) const = default;
};

// Extension to application, the reply to a command.
struct ChromeCommandResponse {
    bool ok = false;
    std::optional<QString> summary;
    std::optional<QList<ChromeWindowState>> windows;
    std::optional<ChromeCapturePayload> capture;
    std::optional<QList<ChromeOpenedTab>> opened;

    bool operator==(const ChromeCommandResponse &) const = default;
};

// Exactly one of the three, written without a tag of its own.
using ChromeHostMessage = std::variant<ChromeCommand, ChromeEvent, ChromeCommandResponse>;

struct ChromeHostEnvelope {
    QUuid id;
    ChromeHostMessage message;

    bool operator==(const ChromeHostEnvelope &) const = default;
};

} // namespace tarni

#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace tarni {

// What a node stands for. The raw values are the JSON and database text.
enum class WorkspaceNodeKind { group, chromeTab, webLink, slackThread, file, folder };
enum class BrowserOpenMode { existingTab, newTab, newWindow };
enum class SlackOpenMode { browserPermalink, slackChannel, askEveryTime };

inline constexpr std::array kAllWorkspaceNodeKinds{WorkspaceNodeKind::group,       WorkspaceNodeKind::chromeTab,
                                                   WorkspaceNodeKind::webLink,     WorkspaceNodeKind::slackThread,
                                                   WorkspaceNodeKind::file,        WorkspaceNodeKind::folder};
inline constexpr std::array kAllBrowserOpenModes{BrowserOpenMode::existingTab, BrowserOpenMode::newTab,
                                                 BrowserOpenMode::newWindow};
inline constexpr std::array kAllSlackOpenModes{SlackOpenMode::browserPermalink, SlackOpenMode::slackChannel,
                                               SlackOpenMode::askEveryTime};

std::string_view rawValue(WorkspaceNodeKind kind);
std::string_view rawValue(BrowserOpenMode mode);
std::string_view rawValue(SlackOpenMode mode);

template <class Enum>
std::optional<Enum> fromRawValue(std::string_view text);
template <>
std::optional<WorkspaceNodeKind> fromRawValue<WorkspaceNodeKind>(std::string_view text);
template <>
std::optional<BrowserOpenMode> fromRawValue<BrowserOpenMode>(std::string_view text);
template <>
std::optional<SlackOpenMode> fromRawValue<SlackOpenMode>(std::string_view text);

struct GroupPayload {
    std::optional<QString> tintHex;

    bool operator==(const GroupPayload &) const = default;
};

// The live Chrome tab a captured tab is bound to during this run.
struct RuntimeTabBinding {
    std::int64_t windowID = 0;
    std::int64_t tabID = 0;

    bool operator==(const RuntimeTabBinding &) const = default;
};

struct BrowserTarget {
    QString url;
    QString titleSnapshot;
    std::optional<QString> favIconURL;
    BrowserOpenMode preferredOpenMode = BrowserOpenMode::existingTab;
    // Never encoded; part of equality all the same.
    std::optional<RuntimeTabBinding> runtimeTabBinding;

    bool operator==(const BrowserTarget &) const = default;
};

struct WebLinkTarget {
    QString url;
    std::optional<QString> preferredBrowser;

    bool operator==(const WebLinkTarget &) const = default;
};

struct SlackTarget {
    QString permalinkURL;
    std::optional<QString> teamID;
    std::optional<QString> channelID;
    std::optional<QString> messageTS;
    SlackOpenMode preferredOpenMode = SlackOpenMode::browserPermalink;

    bool operator==(const SlackTarget &) const = default;
};

// Used by both file and folder nodes. bookmarkData is opaque: carried, never
// resolved; on Linux new nodes have none.
struct FileTarget {
    QString path;
    std::optional<QByteArray> bookmarkData;

    bool operator==(const FileTarget &) const = default;
};

// The kind-specific part of a node. File and folder share FileTarget, so the
// case is kept next to the value; the factories keep the two consistent.
class NodePayload {
public:
    NodePayload() : NodePayload(WorkspaceNodeKind::group, GroupPayload{}) {}

    static NodePayload group(GroupPayload value = {}) { return {WorkspaceNodeKind::group, std::move(value)}; }
    static NodePayload chromeTab(BrowserTarget value) { return {WorkspaceNodeKind::chromeTab, std::move(value)}; }
    static NodePayload webLink(WebLinkTarget value) { return {WorkspaceNodeKind::webLink, std::move(value)}; }
    static NodePayload slackThread(SlackTarget value) { return {WorkspaceNodeKind::slackThread, std::move(value)}; }
    static NodePayload file(FileTarget value) { return {WorkspaceNodeKind::file, std::move(value)}; }
    static NodePayload folder(FileTarget value) { return {WorkspaceNodeKind::folder, std::move(value)}; }

    WorkspaceNodeKind kind() const { return m_kind; }

    // Each returns the carried value when the payload is of that case, else null.
    const GroupPayload *asGroup() const { return std::get_if<GroupPayload>(&m_value); }
    const BrowserTarget *asChromeTab() const { return std::get_if<BrowserTarget>(&m_value); }
    const WebLinkTarget *asWebLink() const { return std::get_if<WebLinkTarget>(&m_value); }
    const SlackTarget *asSlackThread() const { return std::get_if<SlackTarget>(&m_value); }
    // For file and folder payloads alike.
    const FileTarget *asFileTarget() const { return std::get_if<FileTarget>(&m_value); }
    const FileTarget *asFile() const { return m_kind == WorkspaceNodeKind::file ? asFileTarget() : nullptr; }
    const FileTarget *asFolder() const { return m_kind == WorkspaceNodeKind::folder ? asFileTarget() : nullptr; }

    BrowserTarget *asChromeTab() { return std::get_if<BrowserTarget>(&m_value); }

    bool operator==(const NodePayload &) const = default;

private:
    using Value = std::variant<GroupPayload, BrowserTarget, WebLinkTarget, SlackTarget, FileTarget>;
    NodePayload(WorkspaceNodeKind kind, Value value) : m_kind(kind), m_value(std::move(value)) {}

    WorkspaceNodeKind m_kind;
    Value m_value;
};

} // namespace tarni

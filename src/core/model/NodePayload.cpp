#include "model/NodePayload.h"

namespace tarni {

std::string_view rawValue(WorkspaceNodeKind kind)
{
    switch (kind) {
    case WorkspaceNodeKind::group: return "group";
    case WorkspaceNodeKind::chromeTab: return "chromeTab";
    case WorkspaceNodeKind::webLink: return "webLink";
    case WorkspaceNodeKind::slackThread: return "slackThread";
    case WorkspaceNodeKind::file: return "file";
    case WorkspaceNodeKind::folder: return "folder";
    }
    return {};
}

std::string_view rawValue(BrowserOpenMode mode)
{
    switch (mode) {
    case BrowserOpenMode::existingTab: return "existingTab";
    case BrowserOpenMode::newTab: return "newTab";
    case BrowserOpenMode::newWindow: return "newWindow";
    }
    return {};
}

std::string_view rawValue(SlackOpenMode mode)
{
    switch (mode) {
    case SlackOpenMode::browserPermalink: return "browserPermalink";
    case SlackOpenMode::slackChannel: return "slackChannel";
    case SlackOpenMode::askEveryTime: return "askEveryTime";
    }
    return {};
}

template <class Enum, std::size_t N>
static std::optional<Enum> lookup(const std::array<Enum, N> &all, std::string_view text)
{
    for (Enum value : all) {
        if (rawValue(value) == text)
            return value;
    }
    return std::nullopt;
}

template <>
std::optional<WorkspaceNodeKind> fromRawValue<WorkspaceNodeKind>(std::string_view text)
{
    return lookup(kAllWorkspaceNodeKinds, text);
}

template <>
std::optional<BrowserOpenMode> fromRawValue<BrowserOpenMode>(std::string_view text)
{
    return lookup(kAllBrowserOpenModes, text);
}

template <>
std::optional<SlackOpenMode> fromRawValue<SlackOpenMode>(std::string_view text)
{
    return lookup(kAllSlackOpenModes, text);
}

} // namespace tarni

#include "chrome/ChromeHostMessages.h"

#include <cmath>

namespace tarni {

std::optional<ChromeWindowBounds> ChromeWindowBounds::fromRect(const QRectF &rect)
{
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double kLimit = 9223372036854775808.0;
    std::int64_t values[4];
    const double edges[4] = {rect.x(), rect.y(), rect.width(), rect.height()};
    for (int i = 0; i < 4; ++i) {
        if (!std::isfinite(edges[i]))
            return std::nullopt;
        const double rounded = std::round(edges[i]); // halves away from zero
        if (rounded >= kLimit || rounded < -kLimit)
            return std::nullopt;
        values[i] = static_cast<std::int64_t>(rounded);
    }
    return ChromeWindowBounds{values[0], values[1], values[2], values[3]};
}

std::string_view ChromeCommand::typeName() const
{
    static constexpr std::string_view kNames[] = {"focusTab",           "openURLsInNewWindow",  "openURLInWindow",
                                                  "setWindowBounds",    "ping",                 "getCurrentWindowState",
                                                  "getAllWindowsState", "captureCurrentTab",    "captureCurrentWindow",
                                                  "openURLsInWindow"};
    static_assert(std::size(kNames) == std::variant_size_v<Value>);
    return kNames[value.index()];
}

std::string_view ChromeEvent::typeName() const
{
    static constexpr std::string_view kNames[] = {"windowsState",    "activeTabChanged", "tabClosed", "captureResult",
                                                  "saveSlackThread", "error",            "connected"};
    static_assert(std::size(kNames) == std::variant_size_v<Value>);
    return kNames[value.index()];
}

} // namespace tarni

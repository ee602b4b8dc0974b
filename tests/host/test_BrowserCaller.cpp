// The host's rule for who may start it: the two browsers' calling conventions,
// for our extension only.

#include "BrowserCaller.h"

#include "core/chrome/ChromeExtensionIdentity.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tarni;
using namespace tarni::host;

namespace {

std::optional<BrowserCaller> caller(std::vector<std::string_view> arguments, std::string *error = nullptr)
{
    std::string ignored;
    return admittedCaller(arguments, error ? error : &ignored);
}

const std::string kOrigin = std::string("chrome-extension://") + kChromeExtensionID + "/";
constexpr std::string_view kManifest = "/home/u/.mozilla/native-messaging-hosts/com.tarni.bar.chrome.json";

} // namespace

TEST(BrowserCaller, AdmitsOurExtensionInEitherBrowsersConvention)
{
    EXPECT_EQ(caller({kOrigin}), BrowserCaller::chromium);
    EXPECT_EQ(caller({kOrigin, "--parent-window=0"}), BrowserCaller::chromium);
    EXPECT_EQ(caller({kManifest, kFirefoxExtensionID}), BrowserCaller::firefox);
}

TEST(BrowserCaller, RefusesOtherCallersAndArgumentsNoBrowserPasses)
{
    const std::string otherOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
    const std::string ourIdWithoutSlash = std::string("chrome-extension://") + kChromeExtensionID;
    const std::vector<std::vector<std::string_view>> refused{
        {},
        {otherOrigin},
        {ourIdWithoutSlash},
        {kOrigin, "--parent-window=x"},
        {kOrigin, "--parent-window="},
        {kOrigin, "--other"},
        {kManifest, "someone@else.example"},
        // Firefox's order reversed, a relative manifest path, the Chromium id as an add-on id.
        {kFirefoxExtensionID, kManifest},
        {"native-messaging-hosts/com.tarni.bar.chrome.json", kFirefoxExtensionID},
        {kManifest, kChromeExtensionID},
        {kManifest, kFirefoxExtensionID, "extra"},
    };
    for (const auto &arguments : refused) {
        std::string error;
        EXPECT_FALSE(caller(arguments, &error)) << (arguments.empty() ? "(none)" : std::string(arguments[0]));
        EXPECT_FALSE(error.empty());
    }
    // What the message shows of a hostile argument is short and printable.
    const std::string hostile = "chrome-extension://\x1b[2J" + std::string(10000, 'x');
    std::string error;
    ASSERT_FALSE(caller({hostile}, &error));
    EXPECT_LT(error.size(), 300u);
    EXPECT_EQ(error.find('\x1b'), std::string::npos);
}

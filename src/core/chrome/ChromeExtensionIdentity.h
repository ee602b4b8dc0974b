#pragma once

namespace tarni {

// The identifier of the extension we ship, fixed by the public key in its
// manifest ("key"): the first 32 hexadecimal digits of the SHA-256 of that key
// (DER), with 0-f written as a-p. The native host's manifest admits only it.
inline constexpr const char *kChromeExtensionID = "lgdaogacjdpngdbhhbdgfogojebhmmoi";

// The same extension built for Firefox and the browsers made from it, named
// by the fixed id in its manifest (browser_specific_settings.gecko.id).
inline constexpr const char *kFirefoxExtensionID = "companion@tarni.bar";

// The native host's name, as the extension connects to it.
inline constexpr const char *kNativeHostName = "com.tarni.bar.chrome";
inline constexpr const char *kNativeHostManifestFileName = "com.tarni.bar.chrome.json";
inline constexpr const char *kNativeHostProgramName = "TarniBarChromeHost";

} // namespace tarni

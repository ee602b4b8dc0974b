#pragma once

// Firefox's native messaging manifest for our host: the same name and program
// as the Chromium browsers' manifest, admitting our add-on by its id instead
// of an origin. Firefox reads a user's manifests from
// ~/.mozilla/native-messaging-hosts.

#include <filesystem>
#include <string>

namespace tarni {

std::filesystem::path firefoxNativeMessagingManifestDirectory(const std::filesystem::path &home);

// The manifest's text, naming `hostProgram` (made absolute).
std::string firefoxNativeHostManifest(const std::filesystem::path &hostProgram);

// Writes that manifest into the folder above (created when missing); false
// and the reason in `error` when it cannot.
bool installFirefoxNativeHostManifest(const std::filesystem::path &home, const std::filesystem::path &hostProgram,
                                      std::string *error);

} // namespace tarni

#pragma once

#include <QString>
#include <QVariantMap>

#include <filesystem>
#include <optional>

namespace tarni {

inline constexpr const char *kFeedURLKey = "SUFeedURL";
inline constexpr const char *kPublicEDKeyKey = "SUPublicEDKey";

// Where this build looks for updates and the key their signatures must match.
struct UpdateConfiguration {
    QString feedURL;
    QString publicEDKey; // Base64 of the raw 32-byte Ed25519 public key

    // A build whose own feed is plain http may fetch over http.
    bool feedIsPlainHttp() const;
};

// The configuration test: both values are non-empty strings without an
// unexpanded "$(", the key decodes from Base64 to exactly 32 bytes, and the
// feed parses as a URL whose scheme is http or https in any case.
std::optional<UpdateConfiguration> validUpdateConfiguration(const QVariantMap &info);

// The build's configuration file (a JSON object with the two keys), read as
// it is; empty when missing or not a JSON object.
QVariantMap readUpdateConfiguration(const std::filesystem::path &file);

// "UpdateConfiguration.json" in the installed resources; running from a
// build directory, the copy the build wrote.
std::filesystem::path updateConfigurationFile();

} // namespace tarni

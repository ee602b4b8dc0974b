#pragma once

// The names under which the running application offers its commands on the
// session bus, shared by the application and its clients (tarnibar-cli, a
// second start).

#include <QCryptographicHash>
#include <QString>

#include <filesystem>
#include <system_error>

namespace tarni::bus {

// Whichever application took it first; a desktop shortcut talks to this one.
inline constexpr const char *kServiceName = "com.tarni.bar";
inline constexpr const char *kObjectPath = "/com/tarni/bar";
inline constexpr const char *kInterface = "com.tarni.bar.Application";

// Error names. A client maps them back to what went wrong.
inline constexpr const char *kErrorFailed = "com.tarni.bar.Error.Failed";
inline constexpr const char *kErrorUnknownNode = "com.tarni.bar.Error.UnknownNode";
inline constexpr const char *kErrorBusy = "com.tarni.bar.Error.Busy";       // the database stayed locked
inline constexpr const char *kErrorCorrupt = "com.tarni.bar.Error.Corrupt"; // the database is damaged
inline constexpr const char *kErrorBadData = "com.tarni.bar.Error.BadData"; // records or a file that do not decode
inline constexpr const char *kErrorInvalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

// The data root as both sides compare it.
inline QString canonicalDataRoot(const std::filesystem::path &root)
{
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(root, ec);
    return QString::fromStdString((ec ? root : canonical).lexically_normal().string());
}

// Every application also owns a name of its own data root, so that two
// applications on different roots (the user's and an automation root) can
// both be reached: "com.tarni.bar.root_" and 16 hex digits of the root's hash.
inline QString serviceNameForDataRoot(const std::filesystem::path &root)
{
    const QByteArray hash =
        QCryptographicHash::hash(canonicalDataRoot(root).toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("com.tarni.bar.root_") + QString::fromLatin1(hash);
}

} // namespace tarni::bus

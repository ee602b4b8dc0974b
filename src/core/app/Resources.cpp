#include "app/Resources.h"

#include "chrome/ChromeExtensionIdentity.h"

#include <QCoreApplication>

namespace tarni {

std::filesystem::path resourceDirectory()
{
    if (QCoreApplication::instance())
        return resourceDirectoryFor(QCoreApplication::applicationDirPath().toStdString());
    return TARNI_SOURCE_RESOURCES;
}

std::filesystem::path resourceDirectoryFor(const std::filesystem::path &applicationDir)
{
    const std::filesystem::path installed = applicationDir / ".." / "share" / "tarnibar";
    std::error_code ec;
    if (std::filesystem::exists(installed / "Localization-en.json", ec))
        return installed.lexically_normal();
    return TARNI_SOURCE_RESOURCES;
}

std::optional<std::filesystem::path> bundledChromeExtensionDirectory(const std::filesystem::path &resources)
{
    std::error_code ec;
    for (const auto &candidate : {resources / "ChromeExtension", resources / ".." / "extension" / "ChromeExtension"}) {
        if (std::filesystem::is_directory(candidate, ec))
            return candidate.lexically_normal();
    }
    return std::nullopt;
}

std::filesystem::path nativeHostProgramFor(const std::filesystem::path &applicationDir)
{
    const std::filesystem::path prefix = (applicationDir / "..").lexically_normal();
    const std::filesystem::path installed = prefix / "lib" / "tarnibar" / kNativeHostProgramName;
    const std::filesystem::path beside = applicationDir / kNativeHostProgramName;
    const std::filesystem::path built = prefix / "host" / kNativeHostProgramName;
    std::error_code ec;
    for (const auto &candidate : {installed, beside, built}) {
        if (std::filesystem::is_regular_file(candidate, ec))
            return candidate;
    }
    return installed;
}

} // namespace tarni

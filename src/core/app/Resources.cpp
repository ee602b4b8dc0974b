#include "app/Resources.h"

#include <QCoreApplication>

namespace tarni {

std::filesystem::path resourceDirectory()
{
    if (QCoreApplication::instance()) {
        const std::filesystem::path installed =
            std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / ".." / "share" / "tarnibar";
        std::error_code ec;
        if (std::filesystem::exists(installed / "Localization-en.json", ec))
            return installed.lexically_normal();
    }
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

} // namespace tarni

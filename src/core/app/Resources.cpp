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

} // namespace tarni

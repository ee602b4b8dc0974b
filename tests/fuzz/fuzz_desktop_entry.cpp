// A desktop entry file as found in an applications folder, and Exec lines.

#include "FuzzSupport.h"

#include "platform/xdg/DesktopEntry.h"

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::filesystem::path file = fuzz::scratchFolder() / "fuzz.desktop";
    fuzz::writeFile(file, fuzz::asText(data, size));
    const QString path = QString::fromStdString(file.string());
    const QStringList searchPath{QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
    if (auto entry = DesktopEntry::load(path, QStringLiteral("fuzz.desktop"), searchPath))
        (void)DesktopEntry::programOfExec(entry->exec);
    (void)DesktopEntry::programOfExec(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}

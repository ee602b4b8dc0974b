// What a mimeapps.list or mimeinfo.cache read from the input gives one type,
// then the default application lookup over both files made of the input, in
// a private XDG tree that also holds two real entries.

#include "FuzzSupport.h"

#include "platform/xdg/DefaultApplicationLookup.h"

using namespace tarni;

namespace {

QProcessEnvironment scratchEnvironment()
{
    const std::filesystem::path &root = fuzz::scratchFolder();
    const std::filesystem::path apps = root / "data" / "applications";
    fuzz::writeFile(apps / "viewer.desktop", "[Desktop Entry]\nType=Application\nName=Viewer\nExec=sh %f\n");
    fuzz::writeFile(apps / "vendor" / "browser.desktop",
                    "[Desktop Entry]\nType=Application\nName=Browser\nExec=env A=1 sh %u\n");
    QProcessEnvironment env;
    const QString base = QString::fromStdString(root.string());
    env.insert(QStringLiteral("HOME"), base);
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), base + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), base + QStringLiteral("/none"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), base + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_DATA_DIRS"), base + QStringLiteral("/none"));
    env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("Fuzz"));
    return env;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const DefaultApplicationLookup lookup(scratchEnvironment());
    const std::string_view bytes = fuzz::asText(data, size);
    const char *types[] = {"text/html", "x-scheme-handler/https", "inode/directory", "text/x-csrc"};
    const QByteArrayView type(types[size % std::size(types)]);
    for (const char *group : {"Default Applications", "MIME Cache"}) {
        const QStringList ids = DefaultApplicationLookup::associations(QByteArrayView(data, qsizetype(size)), group, type);
        fuzz::require(!ids.contains(QString()), "an empty application id");
    }
    // The same bytes as the user's list and as an applications folder's cache.
    fuzz::writeFile(fuzz::scratchFolder() / "config" / "mimeapps.list", bytes);
    fuzz::writeFile(fuzz::scratchFolder() / "data" / "applications" / "mimeinfo.cache", bytes);
    // One type an input, so that each lookup reads the files once.
    if (auto entry = lookup.defaultApplication(QString::fromLatin1(type)))
        fuzz::require(!entry->hidden, "a hidden entry chosen as the default");
    return 0;
}

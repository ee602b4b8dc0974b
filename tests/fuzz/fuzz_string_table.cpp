// A string table read from the resource folder, then every text of it filled
// in the way the windows fill them.

#include "FuzzSupport.h"

#include "app/LanguageManager.h"

using namespace tarni;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::filesystem::path file = fuzz::scratchFolder() / "Localization-xx.json";
    fuzz::writeFile(file, fuzz::asText(data, size));
    auto table = std::make_shared<const StringTable>(LanguageManager::loadStrings(file));
    const QStringList values{QStringLiteral("1"), QStringLiteral("%@"), QStringLiteral("three"), QStringLiteral("%d")};
    for (auto it = table->begin(); it != table->end(); ++it) {
        (void)formatted(it.value(), values);
        (void)formatted(it.value(), {});
    }
    setLocalizedStrings(table);
    for (auto it = table->begin(); it != table->end(); ++it)
        fuzz::require(localized(it.key()) == it.value(), "a looked-up text that is not the table's");
    setLocalizedStrings(std::make_shared<const StringTable>());
    return 0;
}

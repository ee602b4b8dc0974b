// Identifier text, which host and application share, and the host's reading
// of desktop entries; the rest of the host is tested as a black box.

#include "ApplicationLauncher.h"

#include "common/NativeHostQueue.h"

#include <gtest/gtest.h>

using namespace tarni;
using namespace tarni::host;

TEST(UuidText, AcceptsEitherCaseAndCanonicalisesToUpperCase)
{
    struct Row {
        const char *text;
        const char *canonical; // null: refused
    };
    const Row rows[] = {
        {"0a1B2c3D-4e5F-4a6B-8c7D-9e0F1a2B3c4D", "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"},
        {"0A1B2C3D4E5F4A6B8C7D9E0F1A2B3C4D", nullptr},
        {"{0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D}", nullptr},
        {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4", nullptr},
        {"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4DD", nullptr},
        {"0G1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D", nullptr},
        {"0A1B2C3D_4E5F-4A6B-8C7D-9E0F1A2B3C4D", nullptr},
        {"", nullptr},
    };
    for (const Row &row : rows) {
        const auto canonical = canonicalUuidText(row.text);
        if (row.canonical)
            EXPECT_EQ(canonical, std::string(row.canonical)) << row.text;
        else
            EXPECT_EQ(canonical, std::nullopt) << row.text;
    }
}

TEST(DesktopEntry, ExecLinesBecomeArgumentsWithoutFieldCodes)
{
    struct Row {
        const char *exec;
        std::vector<std::string> args;
    };
    const Row rows[] = {
        {"tarnibar %U", {"tarnibar"}},
        {"/opt/tarni/bin/tarnibar --flag %f", {"/opt/tarni/bin/tarnibar", "--flag"}},
        {"\"/opt/my apps/tarnibar\" --x", {"/opt/my apps/tarnibar", "--x"}},
        {"\"/opt/q\\\"uote\"", {"/opt/q\"uote"}},
        {"tarnibar --rate=100%%", {"tarnibar", "--rate=100%"}},
        {"tarnibar  --a\t--b", {"tarnibar", "--a", "--b"}},
        {"tarnibar \"unterminated", {}},
        {"tarnibar | rm", {}},
        {"", {}},
    };
    for (const Row &row : rows)
        EXPECT_EQ(parseDesktopExec(row.exec), row.args) << row.exec;
}

TEST(DesktopEntry, ValuesComeFromTheMainGroupWithEscapesResolved)
{
    const char *text = "# comment\n[Desktop Action new]\nExec=wrong\n[Desktop Entry]\nName=TarniBar\n"
                       "Exec = tarni\\sbar --x\r\nHidden=true\n";
    EXPECT_EQ(desktopEntryValue(text, "Exec"), std::string("tarni bar --x"));
    EXPECT_EQ(desktopEntryValue(text, "Hidden"), std::string("true"));
    EXPECT_EQ(desktopEntryValue(text, "TryExec"), std::nullopt);
}

#include "chrome/FirefoxNativeHostManifest.h"

#include "chrome/ChromeExtensionIdentity.h"
#include "common/AtomicFile.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

namespace tarni {

namespace fs = std::filesystem;

fs::path firefoxNativeMessagingManifestDirectory(const fs::path &home)
{
    return home / ".mozilla" / "native-messaging-hosts";
}

std::string firefoxNativeHostManifest(const fs::path &hostProgram)
{
    std::error_code ec;
    fs::path program = fs::absolute(hostProgram, ec);
    if (ec)
        program = hostProgram;
    const std::string path = program.lexically_normal().string();

    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("allowed_extensions");
    w.StartArray();
    w.String(kFirefoxExtensionID);
    w.EndArray();
    w.Key("description");
    w.String("Tarni Bar native messaging host");
    w.Key("name");
    w.String(kNativeHostName);
    w.Key("path");
    w.String(path.data(), rapidjson::SizeType(path.size()));
    w.Key("type");
    w.String("stdio");
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

bool installFirefoxNativeHostManifest(const fs::path &home, const fs::path &hostProgram, std::string *error)
{
    const fs::path dir = firefoxNativeMessagingManifestDirectory(home);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot create \"" + dir.string() + "\": " + ec.message();
        return false;
    }
    // The browser reads it as the same user; nothing in it is private.
    return writeFileAtomically(dir / kNativeHostManifestFileName, firefoxNativeHostManifest(hostProgram), error, 0644);
}

} // namespace tarni

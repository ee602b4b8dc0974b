#pragma once

// Shared by the fuzz targets: a failed property stops the run the way a crash
// does, so libFuzzer keeps the input that broke it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace tarni::fuzz {

[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "fuzz property failed: %s\n", what);
    std::abort();
}

inline void require(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

// A private folder for the targets whose reader takes a file, removed when
// the process ends normally. It is in memory where /dev/shm exists, since
// these targets write a file or two for every input.
inline const std::filesystem::path &scratchFolder()
{
    struct Folder {
        std::filesystem::path path;
        Folder()
        {
            const bool inMemory = ::access("/dev/shm", W_OK | X_OK) == 0;
            const std::filesystem::path parent = inMemory ? "/dev/shm" : std::filesystem::temp_directory_path();
            std::string pattern = (parent / "tarni-fuzz-XXXXXX").string();
            if (!::mkdtemp(pattern.data()))
                fail("cannot make a scratch folder");
            path = pattern;
        }
        ~Folder()
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Folder folder;
    return folder.path;
}

inline void writeFile(const std::filesystem::path &file, std::string_view bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        fail("cannot write a scratch file");
}

inline std::string_view asText(const std::uint8_t *data, std::size_t size)
{
    return {reinterpret_cast<const char *>(data), size};
}

} // namespace tarni::fuzz

#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tarni {

// Which native messaging hosts are running on a data root. Each host keeps a
// file of its own in "NativeHosts" under an exclusive flock for as long as it
// runs. The kernel drops the lock however the host ends, so a file whose lock
// anyone else can take belongs to a host that is gone.
inline constexpr const char *kNativeHostsDirName = "NativeHosts";

std::filesystem::path nativeHostsDirectory(const std::filesystem::path &root);

class NativeHostPresence {
public:
    // Announces this process in `dir` (created private when missing). The
    // file appears already locked, so no reader ever takes it for a dead one.
    static std::unique_ptr<NativeHostPresence> announce(const std::filesystem::path &dir,
                                                        std::string *error = nullptr);
    // Withdraws the announcement.
    ~NativeHostPresence();
    NativeHostPresence(const NativeHostPresence &) = delete;
    NativeHostPresence &operator=(const NativeHostPresence &) = delete;

    const std::filesystem::path &file() const { return m_file; }

private:
    NativeHostPresence(std::filesystem::path file, int fd)
        : m_file(std::move(file))
        , m_fd(fd)
    {
    }

    std::filesystem::path m_file;
    int m_fd = -1;
};

// The names of the files of the live hosts in `dir`, sorted. Removes the
// files of hosts that are gone; entries that are not regular files count as
// no host and are left alone.
std::vector<std::string> liveNativeHosts(const std::filesystem::path &dir);

} // namespace tarni

#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tarni {

// The application is single-instance per data root. It holds an exclusive
// flock(2) on "<root>/instance.lock" for its whole run; the kernel drops the
// lock when the process dies, so a crash never leaves a stale lock behind.
// The command-line tool takes the same lock for the few milliseconds of an
// edit. The holder writes who it is into the file, so that others can tell
// the application (which may hold it for days) from a passing edit.
inline constexpr const char *kInstanceLockName = "instance.lock";

class InstanceLock {
public:
    enum class Holder {
        application,
        commandLineTool,
        unknown, // held, but nothing (yet) says by whom
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    InstanceLock(InstanceLock &&other) noexcept;
    InstanceLock &operator=(InstanceLock &&other) noexcept;

    // Takes the lock without waiting and records `as` with this process's id
    // in the file. False when another process holds it or the file cannot be
    // opened; `error` then says which.
    bool tryAcquire(const std::filesystem::path &root, std::string *error = nullptr, Holder as = Holder::application);
    bool isHeld() const { return m_fd >= 0; }
    // Whether the last tryAcquire failed only because someone else held it.
    bool wasContended() const { return m_contended; }
    void release();

    // True while some process holds the lock of `root`. Never creates the root.
    static bool isHeldByAnyone(const std::filesystem::path &root);

    struct HolderInfo {
        Holder holder = Holder::unknown;
        long pid = 0; // 0 when unknown
    };
    // Who holds the lock of `root` now; none when nobody does. The holder is
    // named only when the file's record names the process that holds the
    // lock; another program's lock (or one taken a moment ago) is unknown.
    static std::optional<HolderInfo> currentHolder(const std::filesystem::path &root);

private:
    int m_fd = -1;
    bool m_contended = false;
};

} // namespace tarni

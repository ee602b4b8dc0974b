#pragma once

#include <filesystem>
#include <string>

namespace tarni {

// The application is single-instance per data root. It holds an exclusive
// flock(2) on "<root>/instance.lock" for its whole run; the kernel drops the
// lock when the process dies, so a crash never leaves a stale lock behind.
// Others (the command-line tool, the native messaging host) only probe it.
inline constexpr const char *kInstanceLockName = "instance.lock";

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;
    InstanceLock(InstanceLock &&other) noexcept;
    InstanceLock &operator=(InstanceLock &&other) noexcept;

    // Takes the lock without waiting. False when another process holds it or
    // the file cannot be opened; `error` then says which.
    bool tryAcquire(const std::filesystem::path &root, std::string *error = nullptr);
    bool isHeld() const { return m_fd >= 0; }
    void release();

    // True while some process holds the lock of `root`. Never creates the root.
    static bool isHeldByAnyone(const std::filesystem::path &root);

private:
    int m_fd = -1;
};

} // namespace tarni

#pragma once

struct sqlite3_vfs;

namespace tarni::testing {

// A SQLite VFS in front of the default one that makes the Nth call of one
// kind of file operation fail. While it exists it is the default VFS, so code
// that opens databases the ordinary way goes through it; `bypass()` hands the
// default back to the plain VFS until `intercept()`.
//
// Transient faults fail that one call; persistent ones fail it and every later
// call of the same kind, the way a disk that filled up or went away does.
class FaultInjectingVfs {
public:
    enum class Call { read, write, sync, lock, truncate, fileSize, shmMap, shmLock };

    FaultInjectingVfs();
    ~FaultInjectingVfs();
    FaultInjectingVfs(const FaultInjectingVfs &) = delete;
    FaultInjectingVfs &operator=(const FaultInjectingVfs &) = delete;

    // Counts calls of `call` from now on and fails call number `n` (1-based)
    // with `code`.
    void arm(Call call, int n, int code, bool persistent = false);
    void disarm();
    // Whether the armed fault was injected at least once.
    bool fired() const;

    void bypass();
    void intercept();

    static const char *name(Call call);

private:
    sqlite3_vfs *m_plain = nullptr;
};

} // namespace tarni::testing

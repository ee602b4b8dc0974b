#include "FaultInjectingVfs.h"

#include <sqlite3.h>

#include <cstring>

namespace tarni::testing {

namespace {

using Call = FaultInjectingVfs::Call;

struct Injection {
    bool armed = false;
    Call call = Call::read;
    int n = 0;
    int code = SQLITE_IOERR;
    bool persistent = false;
    int seen = 0; // calls of `call` since arming
    bool fired = false;
};

Injection g_injection;
sqlite3_vfs g_vfs;
sqlite3_vfs *g_plain = nullptr;

// Whether this call fails, and with what.
int inject(Call call)
{
    if (!g_injection.armed || g_injection.call != call)
        return SQLITE_OK;
    ++g_injection.seen;
    if (g_injection.seen == g_injection.n || (g_injection.persistent && g_injection.seen > g_injection.n)) {
        g_injection.fired = true;
        return g_injection.code;
    }
    return SQLITE_OK;
}

// Our file object, followed in the same allocation by the plain VFS's.
struct File {
    sqlite3_file base;
    sqlite3_file *real;
};

sqlite3_file *real(sqlite3_file *file)
{
    return reinterpret_cast<File *>(file)->real;
}

int xClose(sqlite3_file *f)
{
    return real(f)->pMethods->xClose(real(f));
}

int xRead(sqlite3_file *f, void *buffer, int amount, sqlite3_int64 offset)
{
    if (int rc = inject(Call::read))
        return rc;
    return real(f)->pMethods->xRead(real(f), buffer, amount, offset);
}

int xWrite(sqlite3_file *f, const void *buffer, int amount, sqlite3_int64 offset)
{
    if (int rc = inject(Call::write))
        return rc;
    return real(f)->pMethods->xWrite(real(f), buffer, amount, offset);
}

int xTruncate(sqlite3_file *f, sqlite3_int64 size)
{
    if (int rc = inject(Call::truncate))
        return rc;
    return real(f)->pMethods->xTruncate(real(f), size);
}

int xSync(sqlite3_file *f, int flags)
{
    if (int rc = inject(Call::sync))
        return rc;
    return real(f)->pMethods->xSync(real(f), flags);
}

int xFileSize(sqlite3_file *f, sqlite3_int64 *size)
{
    if (int rc = inject(Call::fileSize))
        return rc;
    return real(f)->pMethods->xFileSize(real(f), size);
}

int xLock(sqlite3_file *f, int level)
{
    if (int rc = inject(Call::lock))
        return rc;
    return real(f)->pMethods->xLock(real(f), level);
}

int xUnlock(sqlite3_file *f, int level)
{
    return real(f)->pMethods->xUnlock(real(f), level);
}

int xCheckReservedLock(sqlite3_file *f, int *out)
{
    return real(f)->pMethods->xCheckReservedLock(real(f), out);
}

int xFileControl(sqlite3_file *f, int op, void *arg)
{
    return real(f)->pMethods->xFileControl(real(f), op, arg);
}

int xSectorSize(sqlite3_file *f)
{
    return real(f)->pMethods->xSectorSize(real(f));
}

int xDeviceCharacteristics(sqlite3_file *f)
{
    return real(f)->pMethods->xDeviceCharacteristics(real(f));
}

int xShmMap(sqlite3_file *f, int page, int pageSize, int extend, void volatile **out)
{
    if (int rc = inject(Call::shmMap))
        return rc;
    return real(f)->pMethods->xShmMap(real(f), page, pageSize, extend, out);
}

int xShmLock(sqlite3_file *f, int offset, int n, int flags)
{
    // Releasing a lock never fails in practice, and SQLite does not expect it to.
    if (!(flags & SQLITE_SHM_UNLOCK)) {
        if (int rc = inject(Call::shmLock))
            return rc;
    }
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}

void xShmBarrier(sqlite3_file *f)
{
    real(f)->pMethods->xShmBarrier(real(f));
}

int xShmUnmap(sqlite3_file *f, int deleteFlag)
{
    return real(f)->pMethods->xShmUnmap(real(f), deleteFlag);
}

// Version 2: shared memory for WAL, but no memory-mapped reads, so every page
// read goes through xRead.
const sqlite3_io_methods kMethods = {
    2,
    xClose,
    xRead,
    xWrite,
    xTruncate,
    xSync,
    xFileSize,
    xLock,
    xUnlock,
    xCheckReservedLock,
    xFileControl,
    xSectorSize,
    xDeviceCharacteristics,
    xShmMap,
    xShmLock,
    xShmBarrier,
    xShmUnmap,
    nullptr,
    nullptr,
};

int xOpen(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *file, int flags, int *outFlags)
{
    auto *ours = reinterpret_cast<File *>(file);
    ours->base.pMethods = nullptr;
    ours->real = reinterpret_cast<sqlite3_file *>(ours + 1);
    std::memset(ours->real, 0, std::size_t(g_plain->szOsFile));
    const int rc = g_plain->xOpen(g_plain, name, ours->real, flags, outFlags);
    if (ours->real->pMethods)
        ours->base.pMethods = &kMethods;
    return rc;
}

int xDelete(sqlite3_vfs *, const char *name, int syncDir)
{
    return g_plain->xDelete(g_plain, name, syncDir);
}

int xAccess(sqlite3_vfs *, const char *name, int flags, int *out)
{
    return g_plain->xAccess(g_plain, name, flags, out);
}

int xFullPathname(sqlite3_vfs *, const char *name, int size, char *out)
{
    return g_plain->xFullPathname(g_plain, name, size, out);
}

} // namespace

FaultInjectingVfs::FaultInjectingVfs()
{
    m_plain = g_plain = sqlite3_vfs_find(nullptr);
    g_injection = Injection{};
    g_vfs = *g_plain;
    g_vfs.iVersion = 2; // keep the plain VFS's time and randomness; no system-call overrides
    g_vfs.szOsFile = int(sizeof(File)) + g_plain->szOsFile;
    g_vfs.zName = "tarni-faults";
    g_vfs.pNext = nullptr;
    g_vfs.xOpen = xOpen;
    g_vfs.xDelete = xDelete;
    g_vfs.xAccess = xAccess;
    g_vfs.xFullPathname = xFullPathname;
    intercept();
}

FaultInjectingVfs::~FaultInjectingVfs()
{
    sqlite3_vfs_unregister(&g_vfs);
    sqlite3_vfs_register(m_plain, 1);
}

void FaultInjectingVfs::arm(Call call, int n, int code, bool persistent)
{
    g_injection = Injection{true, call, n, code, persistent, 0, false};
}

void FaultInjectingVfs::disarm()
{
    g_injection.armed = false;
}

bool FaultInjectingVfs::fired() const
{
    return g_injection.fired;
}

void FaultInjectingVfs::bypass()
{
    sqlite3_vfs_register(m_plain, 1);
}

void FaultInjectingVfs::intercept()
{
    sqlite3_vfs_register(&g_vfs, 1);
}

const char *FaultInjectingVfs::name(Call call)
{
    switch (call) {
    case Call::read: return "read";
    case Call::write: return "write";
    case Call::sync: return "sync";
    case Call::lock: return "lock";
    case Call::truncate: return "truncate";
    case Call::fileSize: return "fileSize";
    case Call::shmMap: return "shmMap";
    case Call::shmLock: return "shmLock";
    }
    return "?";
}

} // namespace tarni::testing

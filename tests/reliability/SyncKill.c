// Preloaded into a program under test: counts its fsync and fdatasync calls
// and kills the process with SIGKILL right before (TARNI_SYNC_KILL_AT=N) or
// right after (also TARNI_SYNC_KILL_AFTER=1) the Nth one. Nothing else
// changes: every call reaches the C library.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdlib.h>

typedef int (*SyncFunction)(int);

static long s_killAt = 0;
static int s_after = 0;
static atomic_long s_calls;

__attribute__((constructor)) static void readSettings(void)
{
    const char *at = getenv("TARNI_SYNC_KILL_AT");
    const char *after = getenv("TARNI_SYNC_KILL_AFTER");
    s_killAt = at ? strtol(at, NULL, 10) : 0;
    s_after = after && after[0] == '1';
}

static int countedSync(const char *name, int fd)
{
    static SyncFunction real[2];
    const int which = name[1] == 's' ? 0 : 1; // "fsync" or "fdatasync"
    if (!real[which])
        real[which] = (SyncFunction)dlsym(RTLD_NEXT, name);
    const long call = atomic_fetch_add(&s_calls, 1) + 1;
    if (call == s_killAt && !s_after)
        raise(SIGKILL);
    const int result = real[which](fd);
    if (call == s_killAt && s_after)
        raise(SIGKILL);
    return result;
}

int fsync(int fd) { return countedSync("fsync", fd); }
int fdatasync(int fd) { return countedSync("fdatasync", fd); }

#include "KQShmLogAccess.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "KQShmLogWriter.h"

namespace {

const mode_t PERMISSION_BITS = 0777;
const mode_t OWNER_READ_WRITE = 0600;
// What a new segment with an access asked for has until its group is set.
const int OWNER_ONLY = 0600;
// The default mode, for a writer that asks for nothing.
const int EVERY_USER = 0666;

// Switches segment iShmId to the access when its mode or group differ.
bool applyAccess(int iShmId, const KQShmAccess& access, const char* pLogPath) {
    struct shmid_ds ds;
    if (shmctl(iShmId, IPC_STAT, &ds) == -1) {
        fprintf(stderr, "shmctl IPC_STAT failed, err: %s\n", strerror(errno));
        return false;
    }
    gid_t gid = access.gid == KQLOG_KEEP_GROUP ? ds.shm_perm.gid : access.gid;
    // Nothing to change needs no right to change it: a writer that is not
    // the owner still adopts a log that already has the access asked for.
    if ((ds.shm_perm.mode & PERMISSION_BITS) == access.mode &&
        ds.shm_perm.gid == gid)
        return true;
    uid_t iOwner = ds.shm_perm.uid;
    mode_t iOldMode = ds.shm_perm.mode & PERMISSION_BITS;
    gid_t iOldGid = ds.shm_perm.gid;
    // IPC_SET takes uid, gid and the permission bits; the uid stays.
    ds.shm_perm.mode = (ds.shm_perm.mode & ~PERMISSION_BITS) | access.mode;
    ds.shm_perm.gid = gid;
    if (shmctl(iShmId, IPC_SET, &ds) == 0) return true;
    int iErr = errno;
    if (iErr == EPERM)
        fprintf(stderr,
                "cannot set mode %04o and group %u on log [%s]: %s: it "
                "belongs to uid %u (mode %04o, group %u), and only that "
                "user or root may change them\n",
                unsigned(access.mode), unsigned(gid), pLogPath,
                strerror(iErr), unsigned(iOwner), unsigned(iOldMode),
                unsigned(iOldGid));
    else
        fprintf(stderr, "cannot set mode %04o and group %u on log [%s]: %s\n",
                unsigned(access.mode), unsigned(gid), pLogPath,
                strerror(iErr));
    return false;
}

}  // namespace

bool KQShmAccessUsable(const KQShmAccess& access) {
    if ((access.mode & ~PERMISSION_BITS) == 0 &&
        (access.mode & OWNER_READ_WRITE) == OWNER_READ_WRITE)
        return true;
    fprintf(stderr,
            "mode [%04o] invalid: permission bits up to 0777, with read "
            "and write for the owner\n",
            unsigned(access.mode));
    return false;
}

bool KQShmCreateForWriter(key_t key, size_t nBytes,
                          const KQShmAccess* pAccess, const char* pLogPath) {
    // Created here first, so that an ordinary first start is not reported
    // as a failed lookup by GetShm, and a size the system refuses fails
    // init instead of ending the process.
    int iMode = pAccess ? OWNER_ONLY : EVERY_USER;
    int iShmId = shmget(key, nBytes, IPC_CREAT | IPC_EXCL | iMode);
    if (iShmId != -1) {
        if (!pAccess || applyAccess(iShmId, *pAccess, pLogPath)) return true;
        // New and empty: nothing of anyone's goes with it.
        shmctl(iShmId, IPC_RMID, nullptr);
        return false;
    }
    if (errno != EEXIST) {
        fprintf(stderr, "shmget failed, err: %s\n", strerror(errno));
        return false;
    }
    // EEXIST: a segment of this size is there already, which GetShm zeroes
    // in place. It takes the access first, or is left as it was.
    if (!pAccess) return true;
    return KQShmApplyAccessUnder(key, *pAccess, pLogPath);
}

bool KQShmApplyAccessUnder(key_t key, const KQShmAccess& access,
                           const char* pLogPath) {
    int iShmId = shmget(key, 0, 0);
    if (iShmId == -1) {
        fprintf(stderr, "shmget failed, err: %s\n", strerror(errno));
        return false;
    }
    return applyAccess(iShmId, access, pLogPath);
}

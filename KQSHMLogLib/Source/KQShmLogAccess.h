// Who may use a log segment: the mode and group a writer opts into
// (IKQLOGWriter::init with a mode, kqlogger --mode/--group).
//
// A System V segment has an owner, a group and nine permission bits, as a
// file has. Attaching read-only takes r, attaching read-write takes r and
// w; root (CAP_IPC_OWNER) may do both on any segment. Changing owner, group
// or mode (IPC_SET) takes the segment's owner or creator, or root
// (CAP_SYS_ADMIN). A writer that asks for nothing keeps the default: new
// segments are 0666, adopted ones keep what they have.
//
// These functions serve any segment a writer creates or adopts with its
// log, so that every one of them can be given the same access.
#ifndef KQSHMLOGACCESS_H
#define KQSHMLOGACCESS_H

#include <sys/types.h>

#include <cstddef>

struct KQShmAccess {
    mode_t mode;  // permission bits, as KQShmAccessUsable accepts them
    gid_t gid;    // KQLOG_KEEP_GROUP: the creator's group, or the group an
                  // adopted segment has
};

// Whether a writer may ask for this access: permission bits only (0777 at
// most), read and write for the owner (a writer attaches read-write, also
// when it starts again). False after a message on standard error.
bool KQShmAccessUsable(const KQShmAccess& access);

// Makes sure a segment of nBytes is under key, for GetShm to attach and
// zero, with the access asked for (none: a new segment is 0666, as GetShm
// would make it). A new segment is created closed to all but its owner
// and opened to the group only once the group is set, so nobody else ever
// attaches it in between; one the access cannot be applied to is removed
// again. A segment already under the key must take the access before it
// is used, or this fails and it stays as it was. False after a message on
// standard error naming pLogPath.
bool KQShmCreateForWriter(key_t key, size_t nBytes,
                          const KQShmAccess* pAccess, const char* pLogPath);

// Switches the segment under key (an adopted log) to the access when its
// mode or group differ. False after a message saying why, naming pLogPath
// and, when it is not the caller's to change, its owner; the segment then
// keeps its mode and group.
bool KQShmApplyAccessUnder(key_t key, const KQShmAccess& access,
                           const char* pLogPath);

#endif

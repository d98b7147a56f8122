#include "user.h"

#include "fatal.h"

#include <unistd.h>

uid_t run_uid;
gid_t run_gid;

namespace {

// Sets the real, effective and saved group, then user, IDs to the real ones.
// Where the system has no call that names the saved ID, setting the real ID
// sets the saved one to the effective.
bool drop_group()
{
#if defined(ZELTO_HAVE_SETRESUID)
    return setresgid(run_gid, run_gid, run_gid) == 0;
#else
    return setregid(run_gid, run_gid) == 0;
#endif
}

bool drop_user()
{
#if defined(ZELTO_HAVE_SETRESUID)
    return setresuid(run_uid, run_uid, run_uid) == 0;
#else
    return setreuid(run_uid, run_uid) == 0;
#endif
}

} // namespace

void become_real_user()
{
    run_uid = getuid();
    run_gid = getgid();
    // The group goes first: once the user is dropped, the group may no longer
    // be. An effective ID equal to the real one leaves the saved ID equal too,
    // as exec sets it to the effective.
    if (getegid() != run_gid && !drop_group())
        fatal("setgid failed");
    if (geteuid() != run_uid && !drop_user())
        fatal("setuid failed");
}

bool own_ground(uid_t owner)
{
    return owner == run_uid || owner == 0;
}

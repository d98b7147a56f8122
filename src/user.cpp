#include "user.h"

#include "fatal.h"

#include <unistd.h>

uid_t run_uid;
gid_t run_gid;

void become_real_user()
{
    run_uid = getuid();
    run_gid = getgid();
    // The group goes first: once the user is dropped, the group may no longer
    // be.
    if (getegid() != run_gid && setgid(run_gid) != 0)
        fatal("setgid failed");
    if (geteuid() != run_uid && setuid(run_uid) != 0)
        fatal("setuid failed");
}

bool own_ground(uid_t owner)
{
    return owner == run_uid || owner == 0;
}

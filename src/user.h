#pragma once

#include <sys/types.h>

// Who the run is for: its real user and group, which it also runs as once
// become_real_user has returned.
extern uid_t run_uid;
extern gid_t run_gid;

// Drops the effective and saved ids of a set-user-ID or set-group-ID copy to
// the real ones, the group first, before the run reads anything: the
// listing, the cache and the cat that replays it are those of whoever started
// it, who is then all the process can become. Ends the run if either cannot
// be dropped.
void become_real_user();

// Whether a file or directory owned by owner is the run's own ground: its
// user's, or root's.
bool own_ground(uid_t owner);

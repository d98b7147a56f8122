#pragma once

#include <cstdint>
#include <sys/types.h>

struct stat;

// What a listing is made from: who it is for (the real user and group and
// the supplementary groups, on which the execute test depends), the PATH
// string and, for each of its components in order, the device, inode and
// change time of what it names (links followed), or a mark where stat finds
// nothing there. A change to a directory sets its change time to the clock's,
// whatever its modification time is then set to; another directory put in its
// place has another inode.
struct path_digest {
    std::uint64_t state;
};

// The digest of this user and path, before any of its components is added.
path_digest digest_path(const char* path);

// Adds the next component as stat described it, or null where stat failed.
void add_status(path_digest& digest, const struct stat* status);

// Adds the next component, called component, by asking stat about it.
void add_component(path_digest& digest, const char* component);

#pragma once

#include "descriptor.h"

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

// Where the cache file lives: a directory, open, and the file's name in it.
// The run keeps and reads a cache only on its own ground: from HOME's own
// path on, every directory on the way is its user's or root's and may be
// written by no one else unless it is sticky, and every link is its user's
// or root's. Each is checked on what is open, one component at a time, so
// that nothing swapped in meanwhile can lead the run elsewhere.
enum class ground {
    own,          // directory and name hold the cache, found or not
    foreign_link, // a link on the way is another user's
    foreign_dir,  // a directory on the way is another user's
    open_dir,     // a directory on the way may be written by others, and is
                  // not sticky
    no_directory, // no directory to hold it: a link leads nowhere, or
                  // round, a path would not fit, or the home directory
                  // walked is not the one the run works in
};

struct cache_location {
    ground verdict = ground::no_directory;
    file_descriptor opened;          // the directory
    int directory = AT_FDCWD;        // opened.fd, or before it the working
                                     // directory, where a relative HOME starts
    struct stat directory_status {}; // of the directory opened
    char name[PATH_MAX] = {};
    bool found = false; // whether name is there, with its status (links not
                        // followed) in status
    struct stat status {};
};

// The location of the cache, once locate_cache has found it.
extern cache_location cache_place;

// Walks home, HOME as given, from the root or from the working directory,
// before the run changes into it.
void locate_home(const char* home);

// Finds where the cache file called name, relative to the working
// directory, lives, into cache_place, once the run has changed into the home
// directory that locate_home walked; anywhere else, nothing is found there.
void locate_cache(const char* name);

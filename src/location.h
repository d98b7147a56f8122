#pragma once

#include "descriptor.h"

#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

// Where the cache file lives: a directory, open or the working directory
// (the home directory), and the file's name in it, reached from the home
// directory by descriptors, one component at a time, through the links of
// the cache's name. The run keeps and reads a cache only on its own ground:
// a directory of its user's or root's, reached only through links of its
// user's or root's, every one of them checked on what is open, so that
// nothing swapped in meanwhile can lead it elsewhere.
enum class ground {
    own,          // directory and name hold the cache, found or not
    foreign_link, // a link on the way is another user's
    foreign_dir,  // a directory on the way is another user's
    no_directory, // no directory to hold it: a link leads nowhere, or
                  // round, or a path would not fit
};

struct cache_location {
    ground verdict = ground::no_directory;
    file_descriptor opened;   // the directory, where it is not the working one
    int directory = AT_FDCWD; // opened.fd, or the working directory
    char name[PATH_MAX] = {};
    bool found = false; // whether name is there, with its status (links not
                        // followed) in status
    struct stat status {};
};

// The location of the cache, once locate_cache has found it.
extern cache_location cache_place;

// Finds where the cache file called name, relative to the working
// directory, lives, into cache_place.
void locate_cache(const char* name);

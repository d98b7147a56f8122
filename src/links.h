#pragma once

#include <climits>

enum class link_walk {
    resolved,  // target names the file
    untrusted, // a link on the way is another user's
    failed,    // the links go round, or a path would not fit
};

// Follows name through every symbolic link on the way to the file it names,
// in its last component or in a directory above it, into target: a path with
// no link in it, relative to the working directory where name is. Only a link
// of the effective user's or root's is followed: another user's could lead a
// run with more rights than its owner (root, with that user's HOME) to any
// file.
link_walk resolve_links(const char* name, char (&target)[PATH_MAX]);

#pragma once

#include <cstddef>
#include <ctime>

struct stat;

enum class replace_result {
    done,         // the new file is in place
    not_kept,     // it could not be kept: the old one is left as it was
    foreign_link, // a link on the way is another user's: nothing was written
};

// Replaces the file called name with text, as a whole, dated modified, or,
// where the file system cannot keep that, the latest whole second no later
// than it that it keeps: other processes see the old file or the new one,
// never part of one. A name that leads through symbolic links of the user's
// own or root's has the file at the end of its chain replaced, and stays a
// link; another user's link is not followed. The new file keeps the
// permission bits of old, the status of the file it replaces where that is a
// regular file, and otherwise gets 0666 less the umask; its owner may always
// read and write it, where the file system keeps modes at all.
//
// The new file is not kept, and the old one left as it was, for want of space
// (no space, over quota, over the file-size limit) or for an input/output
// error. Ends the run with "open failed" if the new file cannot be created or
// put in place for another reason, and with "write failed" if it cannot be
// written for another reason.
replace_result replace_file(const char* name, const char* text, std::size_t size,
                            const timespec& modified, const struct stat* old);

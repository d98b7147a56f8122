#pragma once

#include <cstddef>
#include <ctime>

struct stat;

enum class replace_result {
    done,        // the new file is in place
    not_kept,    // it could not be written, dated or flushed whole, or could
                 // not be created or put in place for want of space or an
                 // input/output error
    not_created, // the directory may not be written
    not_renamed, // the old file may not be replaced
};

// Replaces the file called name in the open directory with text, as a whole,
// dated modified, or, where the file system cannot keep that, the latest
// whole second no later than it that it keeps: other processes see the old
// file or the new one, never part of one. The new file is made beside it,
// under base and a part no other user can predict, readable by its owner
// alone until it is whole; it then gets the permission bits of old, the
// status of the file it replaces, where that is a regular file of the run's
// user, and otherwise 0666 less the umask, but never a group or other write
// bit; its owner may always read and write it, where the file system keeps
// modes at all. Unless it is done, the old file is left as it was, and no new
// one is left behind.
replace_result replace_file(int directory, const char* name, const char* base, const char* text,
                            std::size_t size, const timespec& modified, const struct stat* old);

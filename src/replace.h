#pragma once

#include <cstddef>
#include <ctime>

// Writes all of bytes to fd, waiting where fd was left non-blocking. False,
// with errno set, if a write fails.
bool write_all(int fd, const char* bytes, std::size_t size);

struct stat;

// Replaces the file called name with text, as a whole, dated modified, or,
// where the file system cannot keep that, the latest whole second no later
// than it that it keeps: other processes see the old file or the new one,
// never part of one. A name that is a symbolic link has the file at the end
// of its chain replaced, and stays a link. The new file keeps the permission
// bits of old, the status of the file it replaces where that is a regular
// file, and otherwise gets 0666 less the umask; its owner may always read and
// write it, where the file system keeps modes at all.
//
// Returns false, with the old file left as it was, if the new one could not
// be kept for want of space (no space, over quota, over the file-size limit)
// or for an input/output error. Ends the run with "open failed" if the new
// file cannot be created or put in place for another reason, and with
// "write failed" if it cannot be written for another reason.
bool replace_file(const char* name, const char* text, std::size_t size, const timespec& modified,
                  const struct stat* old);

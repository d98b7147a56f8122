#include "cache.h"

#include "descriptor.h"
#include "digest.h"
#include "fatal.h"
#include "location.h"
#include "path.h"
#include "record.h"
#include "replace.h"
#include "user.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cache file the freshness test judged, open for the replay.
file_descriptor judged_cache;

// Whether the cache found was passed over for a second name that another
// user may have given it: the rebuild then says so.
bool second_name = false;

// Whether others may add names to the directory whose status is directory:
// on the run's own ground, only to one that is sticky.
bool shared(const struct stat& directory)
{
    return (directory.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether the run may put a new file in the place of the one found, whose
// status is old, in the directory whose status is directory: in a sticky
// one, only the file's owner, the directory's or root may.
bool replaceable(const struct stat& old, const struct stat& directory)
{
    return run_uid == 0 || old.st_uid == run_uid || directory.st_uid == run_uid ||
           (directory.st_mode & S_ISVTX) == 0;
}

// Whether the open cache, whose status is cache, in the directory whose
// status is directory, is fresh for this user and PATH.
bool judge(const struct stat& cache, const struct stat& directory)
{
    const std::time_t cached = cache.st_mtim.tv_sec;
    const bool recorded = is_record(cache.st_mtim.tv_nsec);
    path_digest given = digest_path(search_path);
    // Another user could fill a cache of theirs, and date it, as they
    // pleased; so could one who may write it.
    if (cache.st_uid != run_uid || (cache.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return false;
    // Where others may add names, one may have put a name of theirs to a
    // file of the user's in the cache's place, where the system lets a user
    // link another's file. Elsewhere a second name changes nothing of what
    // the cache's name holds.
    if (cache.st_nlink > 1 && shared(directory)) {
        second_name = true;
        return false;
    }
    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        struct stat status {};
        const bool found = stat(component, &status) == 0;
        // Without a record, a change time counts too: it shows a change whose
        // modification time was set back.
        if (found && (later_than_cache(status.st_mtim, cached, recorded) ||
                      later_than_cache(status.st_ctim, cached, recorded)))
            return false;
        add_status(given, found ? &status : nullptr);
    }
    return !recorded || record_of(given) == cache.st_mtim.tv_nsec;
}

// Copies the judged cache to standard output, waiting for the reader, a
// buffer at a time, and exits 0. Returns if the first read fails, before
// anything is printed; a later failure ends the run.
void copy_cache()
{
    char buffer[65536];
    for (bool printed = false;; printed = true) {
        ssize_t got = 0;
        do
            got = read(judged_cache.fd, buffer, sizeof buffer);
        while (got < 0 && errno == EINTR);
        if (got < 0 && !printed)
            return;
        if (got < 0)
            fatal("read failed");
        if (got == 0)
            std::exit(0);
        if (!write_all(STDOUT_FILENO, buffer, static_cast<std::size_t>(got)))
            fatal("write failed");
    }
}

// Runs cat from the first absolute PATH component that holds one it can run,
// as the process's replacement. An empty or relative component would name a
// directory of the home, which another user may have chosen. Returns if none
// can be run.
void exec_cat()
{
    char component[PATH_MAX];
    char program[PATH_MAX];
    char name[] = "cat";
    char* const arguments[] = {name, nullptr};
    for (const char* rest = search_path; next_component(rest, component);) {
        if (component[0] != '/')
            continue;
        const int length = std::snprintf(program, sizeof program, "%s/cat", component);
        if (length > 0 && static_cast<std::size_t>(length) < sizeof program)
            execv(program, arguments);
    }
}

} // namespace

bool cache_is_fresh()
{
    locate_cache(cache_file);
    const cache_location& place = cache_place;
    // Anything but a regular file (a FIFO would block cat, a directory fail
    // it) is neither opened nor replayed.
    if (place.verdict != ground::own || !place.found || !S_ISREG(place.status.st_mode))
        return false;
    // Judged only if it is still the file found, opened without waiting,
    // should a FIFO have taken its place since. It is left open across the
    // exec of cat, which reads it: a second reference to its standard input
    // costs cat nothing, and close-on-exec would cost some libraries (musl) a
    // call of their own.
    judged_cache.reset(openat(place.directory, place.name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW));
    struct stat opened {};
    if (judged_cache.fd < 0 || fstat(judged_cache.fd, &opened) != 0 ||
        opened.st_dev != place.status.st_dev || opened.st_ino != place.status.st_ino ||
        !judge(opened, place.directory_status)) {
        judged_cache.reset();
        return false;
    }
    return true;
}

const char* store_cache(const char* text, std::size_t size, const timespec& modified)
{
    const cache_location& place = cache_place;
    switch (place.verdict) {
    case ground::own:
        break;
    case ground::foreign_link:
        return "cache not written: another user's link";
    case ground::foreign_dir:
        return "cache not written: another user's directory";
    case ground::open_dir:
        return "cache not written: a directory others may write";
    case ground::no_directory:
        return "cache not written: no directory to hold it";
    }
    const struct stat* old = place.found ? &place.status : nullptr;
    if (old != nullptr && S_ISDIR(old->st_mode))
        return "cache not written: a directory is in its place";
    // A device, FIFO or socket in the cache's place may be there on purpose,
    // as a link to /dev/null that turns the cache off, if the user or root
    // put it there; replacing it would replace the system's device. Another
    // user's is left as it is, and said to be there.
    if (old != nullptr && !S_ISREG(old->st_mode))
        return own_ground(old->st_uid) ? nullptr : "cache not written: another user's file";
    if (old != nullptr && !replaceable(*old, place.directory_status))
        return own_ground(old->st_uid) ? "cache not written: it cannot be replaced"
                                       : "cache not written: another user's file";
    switch (replace_file(place.directory, place.name, cache_file, text, size, modified, old)) {
    case replace_result::done:
        return second_name ? "cache rebuilt: it had another name" : nullptr;
    case replace_result::not_kept:
        return "cache not written";
    case replace_result::not_created:
        return "cache not written: its directory may not be written";
    case replace_result::not_renamed:
        return "cache not written: it cannot be replaced";
    }
    return nullptr;
}

void replay_cache()
{
    // cat gives up on a standard output that would block. The flag belongs
    // to whoever handed the descriptor over, so it is left as it is, and
    // the cache is copied by a writer that waits; so it is where no cat can
    // be run. cat reads the judged file as its standard input: a cache
    // renamed into place since cannot be printed instead.
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    const int fd = judged_cache.fd;
    if ((flags < 0 || (flags & O_NONBLOCK) == 0) &&
        (fd == STDIN_FILENO || dup2(fd, STDIN_FILENO) >= 0))
        exec_cat();
    copy_cache();
    judged_cache.reset();
}

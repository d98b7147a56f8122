#include "cache.h"

#include "descriptor.h"
#include "digest.h"
#include "fatal.h"
#include "links.h"
#include "path.h"
#include "record.h"
#include "replace.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cache file as the freshness test found it by name, links followed.
struct stat found_cache {};
bool cache_found = false;

// The cache file the freshness test judged, open for the replay.
file_descriptor judged_cache;

// Opens the cache file, or the file at the end of its links where none of
// them is another user's, without waiting, should a FIFO have taken the
// file's place since it was found. -1 if it cannot be opened.
int open_cache()
{
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW;
    const int fd = open(cache_file, flags);
    if (fd >= 0)
        return fd;
    char target[PATH_MAX];
    if (resolve_links(cache_file, target) != link_walk::resolved ||
        std::strcmp(target, cache_file) == 0)
        return -1;
    return open(target, flags);
}

// Whether the open cache, whose status is cache, is fresh for this user and
// PATH.
bool judge(const struct stat& cache)
{
    const std::time_t cached = cache.st_mtim.tv_sec;
    const bool recorded = is_record(cache.st_mtim.tv_nsec);
    path_digest given = digest_path(search_path);
    // Another user could fill a cache of theirs, and date it, as they pleased.
    if (cache.st_uid != run_user())
        return false;
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

} // namespace

bool cache_is_fresh()
{
    cache_found = stat(cache_file, &found_cache) == 0;
    // Anything but a regular file (a FIFO would block cat, a directory fail
    // it) is neither opened nor replayed.
    if (!cache_found || !S_ISREG(found_cache.st_mode))
        return false;
    // Judged only if it is still the file found. It is left open across the
    // exec of cat, which reads it: a second reference to its standard input
    // costs cat nothing, and close-on-exec would cost some libraries (musl) a
    // call of their own.
    judged_cache.reset(open_cache());
    struct stat opened {};
    if (judged_cache.fd < 0 || fstat(judged_cache.fd, &opened) != 0 ||
        opened.st_dev != found_cache.st_dev || opened.st_ino != found_cache.st_ino ||
        !judge(opened)) {
        judged_cache.reset();
        return false;
    }
    return true;
}

const char* store_cache(const char* text, std::size_t size, const timespec& modified)
{
    // A device, FIFO or socket in the cache's place may be there on purpose,
    // as a link to /dev/null that turns the cache off; replacing it would
    // replace the system's device. A directory there fails to be replaced.
    if (cache_found && !S_ISREG(found_cache.st_mode) && !S_ISDIR(found_cache.st_mode))
        return nullptr;
    switch (replace_file(cache_file, text, size, modified, cache_found ? &found_cache : nullptr)) {
    case replace_result::done:
        return nullptr;
    case replace_result::not_kept:
        return "cache not written";
    case replace_result::foreign_link:
        return "cache not written: another user's link";
    }
    return nullptr;
}

void replay_cache()
{
    // cat gives up on a standard output that would block. The flag belongs
    // to whoever handed the descriptor over, so it is left as it is, and
    // the cache is copied by a writer that waits.
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        copy_cache();
        judged_cache.reset();
        return;
    }
    // cat reads the judged file as its standard input: a cache renamed into
    // place since cannot be printed instead.
    const int fd = judged_cache.release();
    if (fd != STDIN_FILENO && dup2(fd, STDIN_FILENO) < 0)
        fatal("exec failed");
    execlp("cat", "cat", static_cast<char*>(nullptr));
    fatal("exec failed");
}

#include "replace.h"

#include "descriptor.h"
#include "fatal.h"
#include "links.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether error says that a file could not be kept: for want of space (no
// space, over quota, over the file-size limit) or for an input/output error.
bool cannot_keep(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO;
}

// Creates a new file in target's directory, under a name no other run is
// using, never through a link, and returns its descriptor, or -1 where
// it cannot be kept. The name is made from name's last component,
// not target's, so that it stays short whatever a link leads to.
int create_temporary(const char* name, const char* target, char (&temporary)[PATH_MAX])
{
    const char* base = std::strrchr(name, '/');
    base = base != nullptr ? base + 1 : name;
    const char* slash = std::strrchr(target, '/');
    const int directory = slash != nullptr ? static_cast<int>(slash + 1 - target) : 0;
    const long pid = getpid();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const int length = std::snprintf(temporary, sizeof temporary, "%.*s%s.%ld.%u.tmp",
                                         directory, target, base, pid, attempt);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary)
            break;
        const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || cannot_keep(errno))
            return fd;
        if (errno != EEXIST)
            break;
    }
    fatal("open failed");
}

// Sets fd's modification time to time, and reads back in kept the time the
// file system kept. False, with errno set, if either fails.
bool set_time(int fd, const timespec& time, timespec& kept)
{
    // The access time is set too: FAT through FUSE ignores a change that
    // leaves it out.
    const timespec times[2] = {{0, UTIME_NOW}, time};
    struct stat status {};
    if (futimens(fd, times) != 0 || fstat(fd, &status) != 0)
        return false;
    kept = status.st_mtim;
    return true;
}

// Sets fd's modification time to modified, or, where the file system keeps
// less than that (a fraction cut short, two-second times rounded up), to the
// latest whole second no later than it that it keeps: a later time would
// claim more than was asked. False, with errno set, if the time cannot be
// set.
bool set_modified(int fd, const timespec& modified)
{
    timespec kept{};
    if (modified.tv_nsec != 0) {
        if (!set_time(fd, modified, kept))
            return false;
        if (kept.tv_sec == modified.tv_sec && kept.tv_nsec == modified.tv_nsec)
            return true;
    }
    for (std::time_t back = 0; back < 4; ++back) {
        if (!set_time(fd, {modified.tv_sec - back, 0}, kept))
            return false;
        if (kept.tv_sec < modified.tv_sec || (kept.tv_sec == modified.tv_sec && kept.tv_nsec == 0))
            return true;
    }
    // No time near it is kept: a cache dated as early as can be is rebuilt.
    return set_time(fd, {0, 0}, kept);
}

// Writes text whole to the temporary file open as fd, with mode, if not 0,
// dated modified, and flushed to disk. False, with the file removed, if it
// cannot be kept; ends the run with "write failed", the file removed, for any
// other error.
bool fill(int fd, const char* temporary, const char* text, std::size_t size, mode_t mode,
          const timespec& modified)
{
    // A file system that keeps no modes (FAT) keeps the mode the file was
    // created with. The time is set last, as any write would move it again;
    // fsync makes the content durable before the rename makes it the file, so
    // that a crash cannot leave an empty file that passes for new.
    if (write_all(fd, text, size) &&
        (mode == 0 || fchmod(fd, mode) == 0 || errno == ENOSYS || errno == EPERM ||
         errno == EOPNOTSUPP) &&
        set_modified(fd, modified) && fsync(fd) == 0)
        return true;
    const int error = errno;
    unlink(temporary);
    if (cannot_keep(error))
        return false;
    fatal("write failed");
}

// Renames the temporary file open as fd over target. False, with the file
// removed, if it cannot be kept; ends the run with "open failed", the file
// removed, for any other error.
bool put_in_place(int fd, const char* temporary, const char* target, const timespec& modified)
{
    if (rename(temporary, target) != 0) {
        const int error = errno;
        unlink(temporary);
        if (cannot_keep(error))
            return false;
        fatal("open failed");
    }
    // Some file systems (FAT through FUSE) date a file anew when it is
    // renamed: the time is set again where it moved later.
    struct stat status {};
    if (fstat(fd, &status) == 0 &&
        (status.st_mtim.tv_sec > modified.tv_sec ||
         (status.st_mtim.tv_sec == modified.tv_sec && status.st_mtim.tv_nsec > modified.tv_nsec)))
        set_modified(fd, modified);
    return true;
}

} // namespace

replace_result replace_file(const char* name, const char* text, std::size_t size,
                            const timespec& modified, const struct stat* old)
{
    char target[PATH_MAX];
    const link_walk walk = resolve_links(name, target);
    if (walk == link_walk::untrusted)
        return replace_result::foreign_link;
    if (walk == link_walk::failed)
        fatal("open failed");
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t created = 0666 & ~mask;
    const mode_t wanted =
        (old != nullptr && S_ISREG(old->st_mode) ? old->st_mode & 0777 : created) | S_IRUSR |
        S_IWUSR;

    // Until the rename, a signal would strand the temporary file: hold every
    // signal that can be held, and let it act once the file is whole. The
    // one a write over the file-size limit raises would then end the run: it
    // is ignored, so that the write fails instead, and is never held, so
    // that it is not left pending either.
    sigset_t held;
    sigset_t previous;
    sigfillset(&held);
    sigdelset(&held, SIGXFSZ);
    sigprocmask(SIG_SETMASK, &held, &previous);
    struct sigaction ignore {};
    struct sigaction file_size {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &file_size);
    char temporary[PATH_MAX];
    const file_descriptor file{create_temporary(name, target, temporary)};
    const bool kept =
        file.fd >= 0 &&
        fill(file.fd, temporary, text, size, wanted != created ? wanted : 0, modified) &&
        put_in_place(file.fd, temporary, target, modified);
    sigaction(SIGXFSZ, &file_size, nullptr);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return kept ? replace_result::done : replace_result::not_kept;
}

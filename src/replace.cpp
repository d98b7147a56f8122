#include "replace.h"

#include "descriptor.h"
#include "fatal.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file that name leads to: name itself, or the end of its chain of
// symbolic links.
void resolve_links(const char* name, char (&target)[PATH_MAX])
{
    constexpr int max_links = 40;
    const std::size_t name_length = std::strlen(name);
    if (name_length >= sizeof target)
        fatal("open failed");
    std::memcpy(target, name, name_length + 1);
    for (int links = 0;; ++links) {
        char link[PATH_MAX];
        const ssize_t length = readlink(target, link, sizeof link);
        if (length < 0)
            return;
        if (links == max_links || static_cast<std::size_t>(length) == sizeof link)
            fatal("open failed");
        link[length] = '\0';
        // A relative link is relative to the directory that holds it.
        const char* slash = std::strrchr(target, '/');
        const std::size_t directory = link[0] != '/' && slash != nullptr ? slash + 1 - target : 0;
        if (directory + static_cast<std::size_t>(length) >= sizeof target)
            fatal("open failed");
        std::memcpy(target + directory, link, static_cast<std::size_t>(length) + 1);
    }
}

// Whether error says that a file could not be kept for want of space.
bool lacks_space(int error)
{
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// Creates a new file in target's directory, under a name no other run is
// using, never through a link, and returns its descriptor, or -1 where
// there is no space for it. The name is made from name's last component,
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
        if (fd >= 0 || lacks_space(errno))
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
// dated modified, and flushed to disk. False if it could not be kept for want
// of space or for an input/output error, and then removed; ends the run with
// "write failed" for any other error.
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
    if (lacks_space(error) || error == EIO)
        return false;
    fatal("write failed");
}

// Renames the temporary file open as fd over target. False if there was no
// space for it, and then removes it; ends the run with "open failed" for any
// other error.
bool put_in_place(int fd, const char* temporary, const char* target, const timespec& modified)
{
    if (rename(temporary, target) != 0) {
        const int error = errno;
        unlink(temporary);
        if (lacks_space(error))
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

bool write_all(int fd, const char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd ready{fd, POLLOUT, 0};
                if (poll(&ready, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool replace_file(const char* name, const char* text, std::size_t size, const timespec& modified,
                  const struct stat* old)
{
    char target[PATH_MAX];
    resolve_links(name, target);
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t created = 0666 & ~mask;
    const mode_t wanted =
        (old != nullptr && S_ISREG(old->st_mode) ? old->st_mode & 0777 : created) | S_IRUSR |
        S_IWUSR;

    // Until the rename, a signal would strand the temporary file: hold every
    // signal that can be held, and let it act once the file is whole.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &previous);
    char temporary[PATH_MAX];
    const file_descriptor file{create_temporary(name, target, temporary)};
    const bool kept =
        file.fd >= 0 &&
        fill(file.fd, temporary, text, size, wanted != created ? wanted : 0, modified) &&
        put_in_place(file.fd, temporary, target, modified);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return kept;
}

#include "replace.h"

#include "descriptor.h"
#include "hash.h"
#include "user.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
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

// A number no other user can foresee, for the temporary file's name: one who
// could would make that name first, in a directory that others may write.
std::uint64_t unpredictable()
{
    std::uint64_t value = 0;
    const file_descriptor source{open("/dev/urandom", O_RDONLY | O_CLOEXEC)};
    if (source.fd >= 0 && read(source.fd, &value, sizeof value) == sizeof value)
        return value;
    // No random device (a bare chroot): the clock's nanoseconds, mixed.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return hash_finish(hash_word(
        hash_word(static_cast<std::uint64_t>(now.tv_sec), static_cast<std::uint64_t>(now.tv_nsec)),
        static_cast<std::uint64_t>(getpid())));
}

// Creates a new file, mode 0600, in directory, under a name no other run is
// using, never through a link, and returns its descriptor, or -1 with errno
// set.
int create_temporary(int directory, const char* base, char (&temporary)[PATH_MAX])
{
    const std::uint64_t seed = unpredictable();
    for (std::uint64_t attempt = 0; attempt < 100; ++attempt) {
        const int length =
            std::snprintf(temporary, sizeof temporary, "%.200s.%016llx.tmp", base,
                          static_cast<unsigned long long>(hash_finish(seed + attempt)));
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary)
            break;
        const int fd = openat(directory, temporary,
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
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

// Writes text whole to the temporary file open as fd, gives it mode, if not
// 0, dates it modified, and flushes it to disk. False, with errno set, if any
// of that fails.
bool fill(int fd, const char* text, std::size_t size, mode_t mode, const timespec& modified)
{
    // A file system that keeps no modes (FAT) keeps the mode the file was
    // created with. The time is set last, as any write would move it again;
    // fsync makes the content durable before the rename makes it the file, so
    // that a crash cannot leave an empty file that passes for new.
    return write_all(fd, text, size) &&
           (mode == 0 || fchmod(fd, mode) == 0 || errno == ENOSYS || errno == EPERM ||
            errno == EOPNOTSUPP) &&
           set_modified(fd, modified) && fsync(fd) == 0;
}

// Dates the file open as fd, just renamed, modified again where the rename
// moved its time later, as some file systems (FAT through FUSE) do.
void keep_time(int fd, const timespec& modified)
{
    struct stat status {};
    if (fstat(fd, &status) == 0 &&
        (status.st_mtim.tv_sec > modified.tv_sec ||
         (status.st_mtim.tv_sec == modified.tv_sec && status.st_mtim.tv_nsec > modified.tv_nsec)))
        set_modified(fd, modified);
}

// Writes the temporary file, made in directory and open as fd, and renames
// it over name; removes it unless that is done.
replace_result fill_and_rename(int directory, int fd, const char* temporary, const char* name,
                               const char* text, std::size_t size, mode_t mode,
                               const timespec& modified)
{
    replace_result result = replace_result::not_kept;
    if (fill(fd, text, size, mode, modified)) {
        if (renameat(directory, temporary, directory, name) == 0) {
            keep_time(fd, modified);
            return replace_result::done;
        }
        if (!cannot_keep(errno))
            result = replace_result::not_renamed;
    }
    unlinkat(directory, temporary, 0);
    return result;
}

} // namespace

replace_result replace_file(int directory, const char* name, const char* base, const char* text,
                            std::size_t size, const timespec& modified, const struct stat* old)
{
    // Readable by its owner alone until it is whole, and then given the old
    // file's bits where it was the user's own, or else the umask's; never
    // writable by anyone else, whose text it would then be.
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t created = 0600 & ~mask;
    const bool kept_bits = old != nullptr && S_ISREG(old->st_mode) && old->st_uid == run_uid;
    const mode_t bits = kept_bits ? old->st_mode & 0777 : 0666 & ~mask;
    const mode_t wanted = (bits & ~(S_IWGRP | S_IWOTH)) | S_IRUSR | S_IWUSR;

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
    const file_descriptor file{create_temporary(directory, base, temporary)};
    replace_result result = replace_result::not_kept;
    if (file.fd >= 0)
        result = fill_and_rename(directory, file.fd, temporary, name, text, size,
                                 wanted != created ? wanted : 0, modified);
    else if (errno == EACCES || errno == EPERM || errno == EROFS)
        result = replace_result::not_created;
    sigaction(SIGXFSZ, &file_size, nullptr);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return result;
}

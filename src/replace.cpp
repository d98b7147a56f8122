#include "replace.h"

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
#include <utility>

namespace {

struct file_descriptor {
    int fd;
    explicit file_descriptor(int descriptor) : fd(descriptor) {}
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    ~file_descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    int release()
    {
        return std::exchange(fd, -1);
    }
};

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

// Creates a new file in target's directory, under a name no other run is
// using, never through a link. The name is made from name's last component,
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
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    fatal("open failed");
}

// Sets fd's modification time to modified. A file system that keeps less
// than the fraction given (whole seconds, two seconds, microseconds) gets
// the whole seconds alone, and no fraction that is not the one given.
bool set_modified(int fd, const timespec& modified)
{
    timespec times[2] = {{0, UTIME_OMIT}, modified};
    if (futimens(fd, times) != 0)
        return false;
    if (modified.tv_nsec == 0)
        return true;
    struct stat kept {};
    if (fstat(fd, &kept) == 0 && kept.st_mtim.tv_sec == modified.tv_sec &&
        kept.st_mtim.tv_nsec == modified.tv_nsec)
        return true;
    times[1].tv_nsec = 0;
    return futimens(fd, times) == 0;
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

void replace_file(const char* name, const char* text, std::size_t size, const timespec& modified,
                  const struct stat* old)
{
    char target[PATH_MAX];
    resolve_links(name, target);
    const bool keep_mode = old != nullptr && S_ISREG(old->st_mode);

    // Until the rename, a signal would strand the temporary file: hold every
    // signal that can be held, and let it act once the file is whole.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &previous);

    char temporary[PATH_MAX];
    file_descriptor file{create_temporary(name, target, temporary)};
    // The time is set last, as any write would move it again; fsync makes the
    // content durable before the rename makes it the file, so that a crash
    // cannot leave an empty file that passes for new.
    const bool written = write_all(file.fd, text, size) &&
                         (!keep_mode || fchmod(file.fd, old->st_mode & 0777) == 0) &&
                         set_modified(file.fd, modified) && fsync(file.fd) == 0;
    if (!written || close(file.release()) != 0) {
        unlink(temporary);
        fatal("write failed");
    }
    if (rename(temporary, target) != 0) {
        unlink(temporary);
        fatal("open failed");
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

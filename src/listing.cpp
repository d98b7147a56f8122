#include "listing.h"

#include "cache.h"
#include "run.h"
#include "scan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
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

// Writes all of bytes, waiting where fd was left non-blocking by whoever
// opened it (a launcher's pipe may be).
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

// The file that the cache name leads to: the name itself, or the end of its
// chain of symbolic links, so that a linked cache is replaced where it lives
// and the link stays.
void resolve_cache(char (&target)[PATH_MAX])
{
    constexpr int max_links = 40;
    std::memcpy(target, cache_file, sizeof cache_file);
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

// Creates a new file beside target, under a name no other run is using, never
// through a link.
int create_temporary(const char* target, char (&temporary)[PATH_MAX])
{
    const long pid = getpid();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const int length =
            std::snprintf(temporary, sizeof temporary, "%s.%ld.%u.tmp", target, pid, attempt);
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

// Replaces the cache with text as a whole: other runs, and later ones, see the
// old cache or the new one, never part of one.
void write_cache(const char* text, std::size_t size)
{
    char target[PATH_MAX];
    resolve_cache(target);

    // Until the rename, a signal would strand the temporary file: hold every
    // signal that can be held, and let it act once the cache is whole.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &previous);

    char temporary[PATH_MAX];
    file_descriptor file{create_temporary(target, temporary)};
    if (!write_all(file.fd, text, size) || fsync(file.fd) != 0 || close(file.release()) != 0) {
        unlink(temporary);
        fatal("write failed");
    }
    if (rename(temporary, target) != 0) {
        unlink(temporary);
        fatal("open failed");
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// A name of name_list as the sort sees it: its first eight bytes, big-endian
// and padded with zeros, which order most pairs of names without a visit to
// the arena, and its place and length there.
struct sort_key {
    std::uint64_t prefix;
    std::uint32_t offset;
    std::uint32_t length;
};

sort_key key_of(std::uint32_t offset)
{
    const char* name = name_list.arena + offset;
    const std::size_t length = std::strlen(name);
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8 && i < length; ++i)
        prefix |= std::uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
    return {prefix, offset, static_cast<std::uint32_t>(length)};
}

// Orders names by their bytes as unsigned values, as strcmp does.
bool compare_names(const sort_key& left, const sort_key& right)
{
    if (left.prefix != right.prefix)
        return left.prefix < right.prefix;
    // Names are unique, so equal prefixes hold no terminator: both names go
    // on past them.
    return std::strcmp(name_list.arena + left.offset + 8, name_list.arena + right.offset + 8) < 0;
}

} // namespace

void write_listing()
{
    drop_lookup(name_list);

    // Every name is stored once, so the listing is the arena in sorted order
    // with each terminator turned into a line feed, and just as long.
    const std::size_t count = name_list.count;
    auto* order =
        static_cast<sort_key*>(reallocate(nullptr, count * sizeof(sort_key), "malloc failed"));
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = key_of(offset);
        offset += order[i].length + 1;
    }
    std::sort(order, order + count, [](const sort_key& left, const sort_key& right) {
        return compare_names(left, right);
    });

    const std::size_t size = name_list.arena_used;
    auto* text = static_cast<char*>(reallocate(nullptr, size, "malloc failed"));
    char* end = text;
    for (std::size_t i = 0; i < count; ++i) {
        end = std::copy_n(name_list.arena + order[i].offset, order[i].length, end);
        *end++ = '\n';
    }
    std::free(order);

    write_cache(text, size);
    if (!write_all(STDOUT_FILENO, text, size))
        fatal("write failed");
    std::free(text);
}

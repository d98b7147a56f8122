#include "location.h"

#include "user.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

cache_location cache_place;

namespace {

// Directories on the way are opened only to be looked in, where the system
// can: a directory that may be searched but not read is a way like any
// other.
#if defined(O_SEARCH)
constexpr int search_only = O_SEARCH;
#elif defined(O_PATH)
constexpr int search_only = O_PATH;
#else
constexpr int search_only = O_RDONLY;
#endif

constexpr int max_links = 40;

// Whether a directory is the run's own ground: its user's or root's, and
// writable by no one else, unless it is sticky. Whoever may write a
// directory may put a file or link of theirs under any name in it, or move
// one of its owner's there; in a sticky one only a name's owner, the
// directory's or root may replace that name.
ground judge_directory(const struct stat& status)
{
    if (!own_ground(status.st_uid))
        return ground::foreign_dir;
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0)
        return ground::open_dir;
    return ground::own;
}

// Makes fd, a directory just opened, the place's directory, and judges it on
// what is open.
ground enter(cache_location& place, int fd)
{
    if (fd < 0)
        return ground::no_directory;
    place.opened.reset(fd);
    place.directory = fd;
    if (fstat(fd, &place.directory_status) != 0)
        return ground::no_directory;
    return judge_directory(place.directory_status);
}

// Reads the link called name in directory, whose status was link, into text,
// NUL-terminated, with its length. The link is looked at again afterwards:
// one of the run's own or root's can only have been swapped for another by
// whoever may write that directory.
ground read_link(int directory, const char* name, const struct stat& link, char (&text)[PATH_MAX],
                 std::size_t& length)
{
    if (!own_ground(link.st_uid))
        return ground::foreign_link;
    const ssize_t size = readlinkat(directory, name, text, sizeof text);
    if (size <= 0 || static_cast<std::size_t>(size) >= sizeof text)
        return ground::no_directory;
    struct stat again {};
    // A change of owner moves the change time too.
    if (fstatat(directory, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_dev != link.st_dev ||
        again.st_ino != link.st_ino || again.st_ctim.tv_sec != link.st_ctim.tv_sec ||
        again.st_ctim.tv_nsec != link.st_ctim.tv_nsec)
        return ground::foreign_link;
    length = static_cast<std::size_t>(size);
    text[length] = '\0';
    return ground::own;
}

// Walks path from the place's directory, entering each directory on the way
// and following each link. With to_file, the last component is the file's
// name, which is looked at but not entered; without, the walk ends in the
// last directory, which is then the place's.
ground walk(cache_location& place, const char* path, bool to_file)
{
    // rest holds what is still to walk: the path, and then each link's text
    // in place of the link, before what followed it.
    char rest[PATH_MAX];
    const std::size_t path_length = std::strlen(path);
    if (path_length >= sizeof rest)
        return ground::no_directory;
    std::memcpy(rest, path, path_length + 1);
    int links = 0;
    for (const char* next = rest;;) {
        // An absolute path, or a link's text, starts again from the root.
        if (*next == '/') {
            // openat, as some libraries (musl) set close-on-exec after open
            // with a call of their own.
            const ground root =
                enter(place, openat(AT_FDCWD, "/", O_DIRECTORY | O_CLOEXEC | search_only));
            if (root != ground::own)
                return root;
            next += std::strspn(next, "/");
        }
        const std::size_t length = std::strcspn(next, "/");
        if (length == 0)
            return to_file ? ground::no_directory : ground::own;
        char component[PATH_MAX];
        std::memcpy(component, next, length);
        component[length] = '\0';
        const char* after = next + length;
        after += std::strspn(after, "/");
        const bool file = to_file && *after == '\0';

        // A directory on the way is opened, never through a link, before
        // anything else is asked of it.
        if (!file) {
            const int fd = openat(place.directory, component,
                                  O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | search_only);
            if (fd >= 0) {
                const ground directory = enter(place, fd);
                if (directory != ground::own)
                    return directory;
                next = after;
                continue;
            }
        }
        struct stat status {};
        if (fstatat(place.directory, component, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!file || errno != ENOENT)
                return ground::no_directory;
            std::memcpy(place.name, component, length + 1);
            return ground::own;
        }
        if (S_ISLNK(status.st_mode)) {
            char text[PATH_MAX];
            std::size_t text_length = 0;
            const ground link = read_link(place.directory, component, status, text, text_length);
            if (link != ground::own)
                return link;
            const std::size_t after_length = std::strlen(after);
            if (++links > max_links || text_length + 1 + after_length >= sizeof rest)
                return ground::no_directory;
            // after still points into rest: it moves first, behind a
            // separator, as the link's text may not end in one.
            std::memmove(rest + text_length + 1, after, after_length + 1);
            std::memcpy(rest, text, text_length);
            rest[text_length] = '/';
            next = rest;
            continue;
        }
        // Something other than a directory, or one that may not be opened,
        // is on the way.
        if (!file)
            return ground::no_directory;
        std::memcpy(place.name, component, length + 1);
        place.found = true;
        place.status = status;
        return ground::own;
    }
}

} // namespace

void locate_home(const char* home)
{
    cache_place.verdict = walk(cache_place, home, false);
}

void locate_cache(const char* name)
{
    cache_location& place = cache_place;
    if (place.verdict != ground::own)
        return;
    // The run changed into the home directory by name: the cache is looked
    // for only if that is the very directory walked, which stays open.
    struct stat here {};
    if (fstatat(AT_FDCWD, ".", &here, 0) != 0 || here.st_dev != place.directory_status.st_dev ||
        here.st_ino != place.directory_status.st_ino) {
        place.verdict = ground::no_directory;
        return;
    }
    place.verdict = walk(place, name, true);
}

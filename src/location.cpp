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

// Makes fd, a directory just opened, the place's directory, and judges it on
// what is open.
ground enter(cache_location& place, int fd)
{
    if (fd < 0)
        return ground::no_directory;
    place.opened.reset(fd);
    place.directory = fd;
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return ground::no_directory;
    return own_ground(status.st_uid) ? ground::own : ground::foreign_dir;
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

ground walk(cache_location& place, const char* name)
{
    struct stat home {};
    if (fstatat(AT_FDCWD, ".", &home, 0) != 0)
        return ground::no_directory;
    if (!own_ground(home.st_uid))
        return ground::foreign_dir;

    // rest holds what is still to walk from the place's directory on: the
    // name, and then each link's text in place of the link, before what
    // followed it.
    char rest[PATH_MAX];
    const std::size_t name_length = std::strlen(name);
    if (name_length >= sizeof rest)
        return ground::no_directory;
    std::memcpy(rest, name, name_length + 1);
    int links = 0;
    for (const char* next = rest;;) {
        next += std::strspn(next, "/");
        const std::size_t length = std::strcspn(next, "/");
        if (length == 0)
            return ground::no_directory; // no name is left for the file
        char component[PATH_MAX];
        std::memcpy(component, next, length);
        component[length] = '\0';
        const char* after = next + length;
        const bool last = after[std::strspn(after, "/")] == '\0';

        struct stat status {};
        if (fstatat(place.directory, component, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!last || errno != ENOENT)
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
            if (++links > max_links || text_length + after_length >= sizeof rest)
                return ground::no_directory;
            // after still points into rest: it moves first.
            std::memmove(rest + text_length, after, after_length + 1);
            std::memcpy(rest, text, text_length);
            next = rest;
            if (text[0] == '/') {
                const ground root = enter(place, open("/", O_DIRECTORY | O_CLOEXEC | search_only));
                if (root != ground::own)
                    return root;
            }
            continue;
        }
        if (last) {
            std::memcpy(place.name, component, length + 1);
            place.found = true;
            place.status = status;
            return ground::own;
        }
        const ground directory =
            enter(place, openat(place.directory, component,
                                O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | search_only));
        if (directory != ground::own)
            return directory;
        next = after;
    }
}

} // namespace

void locate_cache(const char* name)
{
    cache_place.verdict = walk(cache_place, name);
}

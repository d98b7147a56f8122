#include "links.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool trusted(uid_t owner)
{
    return owner == geteuid() || owner == 0;
}

// Appends the first length bytes of text to path, which holds used bytes.
bool append(char (&path)[PATH_MAX], std::size_t& used, const char* text, std::size_t length)
{
    if (used + length >= sizeof path)
        return false;
    std::memcpy(path + used, text, length);
    used += length;
    path[used] = '\0';
    return true;
}

} // namespace

link_walk resolve_links(const char* name, char (&target)[PATH_MAX])
{
    // target holds the part walked so far, rest what is still to walk. Each
    // component is added as it stands, ".." included: with no link before
    // it, the system takes it as the walk would.
    constexpr int max_links = 40;
    char rest[PATH_MAX];
    std::size_t done = 0;
    target[0] = '\0';
    const std::size_t name_length = std::strlen(name);
    if (name_length >= sizeof rest)
        return link_walk::failed;
    std::memcpy(rest, name, name_length + 1);
    if (rest[0] == '/')
        append(target, done, "/", 1);
    int links = 0;
    for (const char* next = rest;;) {
        next += std::strspn(next, "/");
        if (*next == '\0')
            return link_walk::resolved;
        const std::size_t length = std::strcspn(next, "/");
        const std::size_t parent = done;
        if ((done > 0 && target[done - 1] != '/' && !append(target, done, "/", 1)) ||
            !append(target, done, next, length))
            return link_walk::failed;
        next += length;
        char link[PATH_MAX];
        const ssize_t size = readlink(target, link, sizeof link);
        if (size < 0)
            continue; // no link, or nothing there yet: the path goes on as it is
        struct stat status {};
        if (lstat(target, &status) != 0 || !S_ISLNK(status.st_mode) || !trusted(status.st_uid))
            return link_walk::untrusted;
        if (++links > max_links || size == 0 || static_cast<std::size_t>(size) == sizeof link)
            return link_walk::failed;
        // The link's text takes its place, before what was still to walk: from
        // the root where it begins with "/", else from the link's directory.
        const auto joined = static_cast<std::size_t>(size);
        const std::size_t tail = std::strlen(next);
        if (joined + tail >= sizeof link)
            return link_walk::failed;
        std::memcpy(link + joined, next, tail + 1);
        std::memcpy(rest, link, joined + tail + 1);
        next = rest;
        done = link[0] == '/' ? 0 : parent;
        target[done] = '\0';
        if (link[0] == '/')
            append(target, done, "/", 1);
    }
}

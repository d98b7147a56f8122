#include "scan.h"

#include "fatal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <unistd.h>

const char* search_path;
name_table name_list;

namespace {

struct dir_closer {
    void operator()(DIR* dir) const
    {
        closedir(dir);
    }
};
using dir_handle = std::unique_ptr<DIR, dir_closer>;

// Whether a directory, or an entry in it, that cannot be opened or tested is
// rightly passed over: it is missing, is no directory, or may not be used.
// Any other error (I/O, a descriptor limit, a stale handle) leaves its answer
// unknown.
bool passed_over(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case ELOOP:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

// Adds the executable names of the directory at path. Returns false if it
// could not be read whole.
bool scan_directory(const char* path)
{
    const dir_handle dir{opendir(path)};
    if (!dir) {
        // A directory that could not be read for want of memory would leave
        // its names out of a listing that passes for complete.
        if (errno == ENOMEM)
            fatal("malloc failed");
        return passed_over(errno);
    }
    const int fd = dirfd(dir.get());
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr)
            return complete && errno == 0;
        const char* name = entry->d_name;
        if (name[0] == '.')
            continue;
        // A name already listed needs no second test: it is listed once.
        std::uint32_t& slot = find_name(name_list, name);
        if (slot != 0)
            continue;
        if (faccessat(fd, name, X_OK, 0) == 0)
            add_name(name_list, slot, name);
        else if (!passed_over(errno))
            complete = false;
    }
}

} // namespace

bool next_component(const char*& rest, char (&component)[PATH_MAX])
{
    for (;;) {
        rest += std::strspn(rest, ":");
        if (*rest == '\0')
            return false;
        const std::size_t length = std::strcspn(rest, ":");
        const char* start = rest;
        rest += length;
        if (length < sizeof component) {
            std::memcpy(component, start, length);
            component[length] = '\0';
            return true;
        }
    }
}

bool scan_path()
{
    // A directory reached twice, by the same name or through links, is read
    // once. Device and inode would not do: the same directory mounted
    // elsewhere with other options can give other answers.
    name_table directories_read;
    bool complete = true;
    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        char canonical[PATH_MAX];
        if (realpath(component, canonical) == nullptr) {
            if (!scan_directory(component))
                complete = false;
            continue;
        }
        std::uint32_t& slot = find_name(directories_read, canonical);
        if (slot != 0)
            continue;
        add_name(directories_read, slot, canonical);
        // The resolved path spares the kernel following the links again.
        if (!scan_directory(canonical))
            complete = false;
    }
    return complete;
}

#include "scan.h"

#include "fatal.h"
#include "path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

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

// Adds the executable names of the directory at path, which component
// names, and adds component to given. Returns false if the directory could
// not be read whole.
bool scan_directory(const char* path, const char* component, path_digest& given)
{
    const dir_handle dir{opendir(path)};
    if (!dir) {
        const int error = errno;
        // A directory that could not be read for want of memory would leave
        // its names out of a listing that passes for complete.
        if (error == ENOMEM)
            fatal("malloc failed");
        // What is missing here is missing to stat too; anything else (a
        // file, a directory that may not be read) stat may still find.
        if (error == ENOENT)
            add_status(given, nullptr);
        else
            add_component(given, component);
        return passed_over(error);
    }
    const int fd = dirfd(dir.get());
    // Before the first entry is read: any change from here on moves the
    // change time away from the one recorded.
    struct stat status {};
    add_status(given, fstat(fd, &status) == 0 ? &status : nullptr);
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr)
            return complete && errno == 0;
        const char* name = entry->d_name;
        // A name with a line feed would read as two lines of the listing.
        if (name[0] == '.' || std::strchr(name, '\n') != nullptr)
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

bool scan_path(path_digest& given)
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
            if (!scan_directory(component, component, given))
                complete = false;
            continue;
        }
        std::uint32_t& slot = find_name(directories_read, canonical);
        if (slot != 0) {
            add_component(given, component);
            continue;
        }
        add_name(directories_read, slot, canonical);
        // The resolved path spares the kernel following the links again.
        if (!scan_directory(canonical, component, given))
            complete = false;
    }
    return complete;
}

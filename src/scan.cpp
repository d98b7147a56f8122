#include "scan.h"

#include "run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
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

void scan_directory(const char* path)
{
    const dir_handle dir{opendir(path)};
    if (!dir) {
        // A directory that cannot be read is passed over, but one that could
        // not be read for want of memory would leave its names out of a
        // listing that then passes for complete.
        if (errno == ENOMEM)
            fatal("malloc failed");
        return;
    }
    const int fd = dirfd(dir.get());
    while (const dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.')
            continue;
        // A name already listed needs no second test: it is listed once.
        std::uint32_t& slot = find_name(name_list, name);
        if (slot == 0 && faccessat(fd, name, X_OK, 0) == 0)
            add_name(name_list, slot, name);
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

void scan_path()
{
    // A directory reached twice, by the same name or through links, is read
    // once. Device and inode would not do: the same directory mounted
    // elsewhere with other options can give other answers.
    name_table directories_read;
    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        char canonical[PATH_MAX];
        if (realpath(component, canonical) == nullptr) {
            scan_directory(component);
            continue;
        }
        std::uint32_t& slot = find_name(directories_read, canonical);
        if (slot != 0)
            continue;
        add_name(directories_read, slot, canonical);
        // The resolved path spares the kernel following the links again.
        scan_directory(canonical);
    }
}

// zelto_path: list the executable names found along PATH, from a cache in
// the home directory while no PATH directory has changed since it was
// written.

#include "run.h"

#include "cache.h"
#include "listing.h"
#include "scan.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

const char* home_dir;
const char* search_path;

void fatal(const char* message)
{
    std::fprintf(stderr, "zelto_path: %s\n", message);
    std::exit(1);
}

void* reallocate(void* block, std::size_t size, const char* message)
{
    void* moved = std::realloc(block, size != 0 ? size : 1);
    if (moved == nullptr)
        fatal(message);
    return moved;
}

int main()
{
    home_dir = std::getenv("HOME");
    if (home_dir == nullptr)
        fatal("no $HOME");
    search_path = std::getenv("PATH");
    if (search_path == nullptr)
        fatal("no $PATH");
    if (chdir(home_dir) < 0)
        fatal("chdir failed");

    if (cache_is_fresh())
        replay_cache();

    scan_path();
    write_listing();
    return 0;
}

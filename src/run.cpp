// zelto_path: list the executable names found along PATH, from a cache in
// the home directory while no PATH directory has changed since the scan that
// wrote it.

#include "cache.h"
#include "fatal.h"
#include "listing.h"
#include "scan.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {
const char* home_dir;
} // namespace

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

    // The cache is dated before the first directory is read, so that it
    // never vouches for a change its scan may have missed; a scan that could
    // not read everything is printed but not cached.
    const std::time_t cache_time = cache_stamp();
    const bool complete = scan_path();
    write_listing(complete, cache_time);
    return 0;
}

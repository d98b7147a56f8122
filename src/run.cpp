// zelto_path: list the executable names found along PATH, from a cache in
// the home directory while no PATH directory has changed since the scan that
// wrote it.

#include "cache.h"
#include "fatal.h"
#include "listing.h"
#include "location.h"
#include "path.h"
#include "record.h"
#include "scan.h"
#include "user.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {
const char* home_dir;
} // namespace

int main()
{
    become_real_user();
    home_dir = std::getenv("HOME");
    if (home_dir == nullptr)
        fatal("no $HOME");
    search_path = std::getenv("PATH");
    if (search_path == nullptr)
        fatal("no $PATH");
    // Relative PATH components resolve in the home, entered by name; the
    // cache is kept and read there only if the walk of HOME's own path, by
    // descriptors, found the run's own ground and leads to the same
    // directory.
    locate_home(home_dir);
    if (chdir(home_dir) < 0)
        fatal("chdir failed");

    // The replay comes back only if the cache could not be read after all.
    if (cache_is_fresh())
        replay_cache();

    // The cache is dated before the first directory is read, and records
    // who it is for and what each directory was as the scan found it, so
    // that it never vouches for a change its scan may have missed; a scan
    // that could not read everything, or whose record cannot be trusted, is
    // printed but not cached, and one that could not read everything says
    // so.
    const std::time_t stamp = cache_stamp();
    path_digest given = digest_path(search_path);
    const bool complete = scan_path(given);
    timespec dated{};
    write_listing(complete && cache_time(stamp, given, dated), dated);
    if (!complete)
        fatal("listing incomplete: a directory could not be read");
    return 0;
}

#include "cache.h"

#include "fatal.h"
#include "replace.h"
#include "scan.h"

#include <climits>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cache file as the freshness test found it, links followed, if it was a
// regular file.
struct stat found_cache {};
bool cache_found = false;

} // namespace

bool cache_is_fresh()
{
    // Anything but a regular file (a FIFO would block cat, a directory fail
    // it) is rebuilt over.
    cache_found = stat(cache_file, &found_cache) == 0 && S_ISREG(found_cache.st_mode);
    if (!cache_found)
        return false;

    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        struct stat status {};
        if (stat(component, &status) == 0 && status.st_mtime > found_cache.st_mtime)
            return false;
    }
    return true;
}

std::time_t cache_stamp()
{
    // A directory changed once the scan has begun must compare newer, by a
    // whole second, than the cache, or its change would never be seen: the
    // cache is dated in the second before the one the scan starts in. File
    // systems stamp times from a clock that may lag this one by a tick, so
    // the start is taken a little early.
    constexpr long lag = 50'000'000; // nanoseconds, several ticks at any common rate
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0; // no clock: a cache dated 1970 is rebuilt by the next run
    return now.tv_sec - (now.tv_nsec < lag ? 2 : 1);
}

void store_cache(const char* text, std::size_t size, std::time_t cache_time)
{
    replace_file(cache_file, text, size, cache_time, cache_found ? &found_cache : nullptr);
}

void replay_cache()
{
    execlp("cat", "cat", cache_file, static_cast<char*>(nullptr));
    fatal("exec failed");
}

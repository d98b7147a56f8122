#include "cache.h"

#include "fatal.h"
#include "hash.h"
#include "replace.h"
#include "scan.h"

#include <climits>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cache file as the freshness test found it, links followed.
struct stat found_cache {};
bool cache_found = false;

// A record of what the cache was made from stands in the nanoseconds of its
// modification time, which the whole-second rule ignores: a digest in the
// high six digits, and in the low three a check value that marks them as a
// record. The check is never 0, so whole seconds, a fraction set by hand
// (.5, .25) or one cut to microseconds by a file system is no record.
constexpr long check_span = 1000;
constexpr std::uint64_t digest_span = 1'000'000'000 / check_span;

long check_of(std::uint64_t digest)
{
    return 1 + static_cast<long>(hash_finish(digest) % (check_span - 1));
}

bool is_record(long nanoseconds)
{
    return nanoseconds % check_span == check_of(nanoseconds / check_span);
}

long record_of(const path_digest& given)
{
    const std::uint64_t digest = hash_finish(given.state) % digest_span;
    return static_cast<long>(digest) * check_span + check_of(digest);
}

} // namespace

bool cache_is_fresh()
{
    cache_found = stat(cache_file, &found_cache) == 0;
    // Anything but a regular file (a FIFO would block cat, a directory fail
    // it) is not replayed.
    if (!cache_found || !S_ISREG(found_cache.st_mode))
        return false;

    // With a record, a component's change time counts as its modification
    // time does: a change made in the same clock tick as the scan looked at
    // it leaves the change time where the record has it.
    const std::time_t cached = found_cache.st_mtim.tv_sec;
    const bool recorded = is_record(found_cache.st_mtim.tv_nsec);
    path_digest given = digest_path(search_path);
    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        struct stat status {};
        const bool found = stat(component, &status) == 0;
        if (found &&
            (status.st_mtim.tv_sec > cached || (recorded && status.st_ctim.tv_sec > cached)))
            return false;
        add_status(given, found ? &status : nullptr);
    }
    return !recorded || record_of(given) == found_cache.st_mtim.tv_nsec;
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

timespec cache_time(std::time_t stamp, const path_digest& given)
{
    return {stamp, record_of(given)};
}

void store_cache(const char* text, std::size_t size, const timespec& modified)
{
    // A device, FIFO or socket in the cache's place may be there on purpose,
    // as a link to /dev/null that turns the cache off; replacing it would
    // replace the system's device. A directory there fails to be replaced.
    if (cache_found && !S_ISREG(found_cache.st_mode) && !S_ISDIR(found_cache.st_mode))
        return;
    replace_file(cache_file, text, size, modified, cache_found ? &found_cache : nullptr);
}

void replay_cache()
{
    execlp("cat", "cat", cache_file, static_cast<char*>(nullptr));
    fatal("exec failed");
}

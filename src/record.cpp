#include "record.h"

#include "hash.h"
#include "path.h"

#include <climits>
#include <cstdint>
#include <sys/stat.h>

namespace {

// A record stands in the nanoseconds of the cache's modification time, which
// the whole-second rule ignores: every value whose last digit is not 0, about
// 29.7 bits. Whole seconds, a fraction set by hand (.5, .25) and one cut to
// microseconds by a file system are no record; a fraction of another origin
// that looks like one only costs a rebuild.
constexpr std::uint64_t record_count = 900'000'000;

// A component changed in the clock tick in which the scan looked at it keeps
// the change time recorded, so the record cannot show that change; its time,
// after the cache's, can. Times up to this many seconds after the cache's are
// compared. A time further ahead, as a clock that ran ahead leaves behind, is
// left to the record: any later change moves the change time away from the
// one recorded.
constexpr std::time_t record_reach = 10;

// Whether time lies past the reach of a cache dated stamp, up to a little
// after now: a change made since the reach ended, rounded up to an even
// second or not. Later times are not the clock's.
bool past_reach(const timespec& time, std::time_t stamp, std::time_t now)
{
    return time.tv_sec > stamp + record_reach && time.tv_sec <= now + 2;
}

} // namespace

bool is_record(long nanoseconds)
{
    return nanoseconds % 10 != 0;
}

long record_of(const path_digest& given)
{
    const std::uint64_t value = hash_finish(given.state) % record_count;
    return static_cast<long>(value / 9 * 10 + value % 9 + 1);
}

bool later_than_cache(const timespec& time, std::time_t cached, bool recorded)
{
    return time.tv_sec > cached && (!recorded || time.tv_sec <= cached + record_reach);
}

std::time_t cache_stamp()
{
    // A directory changed once the scan has begun must compare newer, by a
    // whole second, than the cache, or its change would never be seen, even
    // where its time is rounded down to an even second (FAT): the cache is
    // dated in the odd second before the even one that the scan's second
    // rounds down to. File systems stamp times from a clock that may lag this
    // one by a tick, so the start is taken a little early.
    constexpr long lag = 50'000'000; // nanoseconds, several ticks at any common rate
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0; // no clock: a cache dated 1970 is rebuilt by the next run
    const std::time_t second = now.tv_sec - (now.tv_nsec < lag ? 1 : 0);
    return second - second % 2 - 1;
}

bool cache_time(std::time_t stamp, const path_digest& given, timespec& time)
{
    time = {stamp, record_of(given)};
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        time.tv_nsec = 0; // no clock: the times alone judge a cache dated 1970
        return true;
    }
    // A scan that ended within the reach, less a change rounded up to an
    // even second, looked at every component within it.
    if (now.tv_sec + 2 <= stamp + record_reach)
        return true;
    // A longer one may have missed a change made past the reach, which would
    // have left that time on its component.
    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        struct stat status {};
        if (stat(component, &status) == 0 && (past_reach(status.st_mtim, stamp, now.tv_sec) ||
                                              past_reach(status.st_ctim, stamp, now.tv_sec)))
            return false;
    }
    return true;
}

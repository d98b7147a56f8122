#include "cache.h"

#include "descriptor.h"
#include "fatal.h"
#include "hash.h"
#include "replace.h"
#include "scan.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cache file as the freshness test found it by name, links followed.
struct stat found_cache {};
bool cache_found = false;

// The cache file the freshness test judged, open for the replay.
file_descriptor judged_cache;

// A record of what the cache was made from stands in the nanoseconds of its
// modification time, which the whole-second rule ignores: every value whose
// last digit is not 0, about 29.7 bits. Whole seconds, a fraction set by hand
// (.5, .25) and one cut to microseconds by a file system are no record; a
// fraction of another origin that looks like one only costs a rebuild.
constexpr std::uint64_t record_count = 900'000'000;

bool is_record(long nanoseconds)
{
    return nanoseconds % 10 != 0;
}

long record_of(const path_digest& given)
{
    const std::uint64_t value = hash_finish(given.state) % record_count;
    return static_cast<long>(value / 9 * 10 + value % 9 + 1);
}

// With a record, a component dated up to this many seconds after the cache
// may have changed in the clock tick in which the scan looked at it, which
// leaves its change time as recorded: it makes the cache stale. A time
// further ahead, as a clock that ran ahead leaves behind, cannot hide such a
// change, and is left to the record.
constexpr std::time_t record_reach = 10;

bool later(const timespec& time, std::time_t cached, bool recorded)
{
    return time.tv_sec > cached && (!recorded || time.tv_sec <= cached + record_reach);
}

// Whether the open cache, whose status is cache, is fresh for this PATH.
bool judge(const struct stat& cache)
{
    const std::time_t cached = cache.st_mtim.tv_sec;
    const bool recorded = is_record(cache.st_mtim.tv_nsec);
    path_digest given = digest_path(search_path);
    char component[PATH_MAX];
    for (const char* rest = search_path; next_component(rest, component);) {
        struct stat status {};
        const bool found = stat(component, &status) == 0;
        // Without a record, a change time counts too: it shows a change whose
        // modification time was set back.
        if (found &&
            (later(status.st_mtim, cached, recorded) || later(status.st_ctim, cached, recorded)))
            return false;
        add_status(given, found ? &status : nullptr);
    }
    return !recorded || record_of(given) == cache.st_mtim.tv_nsec;
}

// Reads fd to its end into a buffer of its own, and sets size. Null if a
// read fails.
char* read_all(int fd, std::size_t& size)
{
    std::size_t room = 65536;
    auto* text = static_cast<char*>(reallocate(nullptr, room, "malloc failed"));
    size = 0;
    for (;;) {
        if (size == room) {
            room *= 2;
            text = static_cast<char*>(reallocate(text, room, "malloc failed"));
        }
        const ssize_t got = read(fd, text + size, room - size);
        if (got == 0)
            return text;
        if (got < 0 && errno != EINTR) {
            std::free(text);
            return nullptr;
        }
        if (got > 0)
            size += static_cast<std::size_t>(got);
    }
}

} // namespace

bool cache_is_fresh()
{
    cache_found = stat(cache_file, &found_cache) == 0;
    // Anything but a regular file (a FIFO would block cat, a directory fail
    // it) is neither opened nor replayed.
    if (!cache_found || !S_ISREG(found_cache.st_mode))
        return false;
    // Opened without waiting, should a FIFO have taken the file's place since,
    // and judged only if it is still the file found. It is left open across
    // the exec of cat, which reads it: a second reference to its standard
    // input costs cat nothing, and close-on-exec would cost some libraries
    // (musl) a call of their own.
    judged_cache.reset(open(cache_file, O_RDONLY | O_NONBLOCK));
    struct stat opened {};
    if (judged_cache.fd < 0 || fstat(judged_cache.fd, &opened) != 0 ||
        opened.st_dev != found_cache.st_dev || opened.st_ino != found_cache.st_ino ||
        !judge(opened)) {
        judged_cache.reset();
        return false;
    }
    return true;
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

timespec cache_time(std::time_t stamp, const path_digest& given)
{
    // The record leaves to it any time more than record_reach seconds after
    // stamp, which must then lie beyond any change the scan may have missed,
    // a change rounded up to an even second included.
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec + 2 > stamp + record_reach)
        return {stamp, 0};
    return {stamp, record_of(given)};
}

bool store_cache(const char* text, std::size_t size, const timespec& modified)
{
    // A device, FIFO or socket in the cache's place may be there on purpose,
    // as a link to /dev/null that turns the cache off; replacing it would
    // replace the system's device. A directory there fails to be replaced.
    if (cache_found && !S_ISREG(found_cache.st_mode) && !S_ISDIR(found_cache.st_mode))
        return true;
    return replace_file(cache_file, text, size, modified, cache_found ? &found_cache : nullptr);
}

void replay_cache()
{
    // cat gives up on a standard output that would block. The flag belongs
    // to whoever handed the descriptor over, so it is left as it is, and
    // the cache is copied by a writer that waits.
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) != 0) {
        std::size_t size = 0;
        char* text = read_all(judged_cache.fd, size);
        if (text == nullptr) {
            judged_cache.reset();
            return;
        }
        if (!write_all(STDOUT_FILENO, text, size))
            fatal("write failed");
        std::exit(0);
    }
    // cat reads the judged file as its standard input: a cache renamed into
    // place since cannot be printed instead.
    const int fd = judged_cache.release();
    if (fd != STDIN_FILENO && dup2(fd, STDIN_FILENO) < 0)
        fatal("exec failed");
    execlp("cat", "cat", static_cast<char*>(nullptr));
    fatal("exec failed");
}

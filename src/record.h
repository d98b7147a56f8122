#pragma once

#include "digest.h"

#include <ctime>

// The cache's modification time says when its scan began, in whole seconds,
// and records in its nanoseconds what the listing was made from.

// Whether a cache's nanoseconds hold a record.
bool is_record(long nanoseconds);

// The nanoseconds that record given.
long record_of(const path_digest& given);

// Whether a component's time makes a cache dated cached stale: a later
// second, and with a record no more than the record's reach ahead, which a
// change that the record cannot show falls within. A time further ahead is
// left to the record.
bool later_than_cache(const timespec& time, std::time_t cached, bool recorded);

// The whole seconds of the time of a cache filled by a scan that starts now.
std::time_t cache_stamp();

// Sets time to that of a cache filled by a scan that started at stamp and
// has just ended: stamp, and the record of given. False if a change the
// record cannot show may have fallen beyond its reach: the scan took long
// enough for a component to have changed in the clock tick in which it was
// looked at, past the reach, and one has changed since the reach ended.
bool cache_time(std::time_t stamp, const path_digest& given, timespec& time);

#pragma once

#include "digest.h"

#include <cstddef>
#include <ctime>

// The cache file, always named relative to the home directory.
inline constexpr char cache_file[] = ".zelto_cache";

// True when the cache file is a regular file and no PATH component was
// modified in a later second than it. A cache whose time records what it was
// made from is fresh only if PATH and its components are still what it
// records, and none of them has changed in a later second either.
bool cache_is_fresh();

// The whole seconds of the time of a cache filled by a scan that starts now.
std::time_t cache_stamp();

// The time of a cache filled by a scan that started at stamp: stamp, and a
// fraction of a second that records what the scan was given.
timespec cache_time(std::time_t stamp, const path_digest& given);

// Replaces the cache file with the listing text, dated modified. A cache
// that the freshness test found keeps its permission bits; a device, FIFO or
// socket found there is left as it is.
void store_cache(const char* text, std::size_t size, const timespec& modified);

// Replaces the process with cat printing the cache file.
[[noreturn]] void replay_cache();

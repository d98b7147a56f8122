#pragma once

#include <cstddef>
#include <ctime>

// The cache file, always named relative to the home directory.
inline constexpr char cache_file[] = ".zelto_cache";

// True when the cache file is a regular file and no PATH component was
// modified in a later second than it.
bool cache_is_fresh();

// The modification time for a cache filled by a scan that starts now.
std::time_t cache_stamp();

// Replaces the cache file with the listing text, dated cache_time. A cache
// that the freshness test found keeps its permission bits.
void store_cache(const char* text, std::size_t size, std::time_t cache_time);

// Replaces the process with cat printing the cache file.
[[noreturn]] void replay_cache();

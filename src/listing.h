#pragma once

#include <ctime>

// Writes name_list, sorted, one name per line, to the cache file, dated
// cache_time, where it is cacheable, and then to standard output. A cache
// that could not be written is reported on standard error.
void write_listing(bool cacheable, const timespec& cache_time);

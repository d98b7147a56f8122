#pragma once

#include <ctime>

// Writes name_list, sorted, one name per line, to the cache file, dated
// cache_time, and then to standard output. The listing of a scan that was not
// complete goes to standard output only.
void write_listing(bool complete, const timespec& cache_time);

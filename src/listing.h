#pragma once

#include <ctime>

// Writes name_list, sorted, one name per line, to the cache file, dated
// cache_time, and then to standard output. The listing of a scan that was not
// complete goes to standard output only, as does one whose cache could not be
// kept for want of space, which is then reported on standard error.
void write_listing(bool complete, const timespec& cache_time);

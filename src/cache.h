#pragma once

#include <cstddef>
#include <ctime>

// The cache file, always named relative to the home directory.
inline constexpr char cache_file[] = ".zelto_cache";

// True when the cache file is a regular file of this user's own, that no one
// else may write and, where others may add names to its directory, that has
// no other name, on the run's own ground (see location.h), that this user
// can open, and no PATH component changed in a later second than it. A
// cache whose time records what it was made from is fresh only if this user,
// PATH and its components are still what it records. The cache is judged,
// and then replayed, from the one file opened here.
bool cache_is_fresh();

// Replaces the cache file that cache_is_fresh looked for with the listing
// text, dated modified. A device, FIFO or socket found there is left as it
// is. Returns the line that says why the cache was not written, the old one
// then left as it was, or why it was rebuilt where another user may have
// made it so; else null.
const char* store_cache(const char* text, std::size_t size, const timespec& modified);

// Prints the cache file that cache_is_fresh found fresh, through cat from an
// absolute PATH component, which takes the process's place. Where standard
// output was left non-blocking, which cat may give up on, or where no cat can
// be run, the run prints it itself and exits 0. Returns only if the cache
// could not be read, before anything is printed.
void replay_cache();

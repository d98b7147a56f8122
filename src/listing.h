#pragma once

// Writes name_list, sorted, one name per line, to the cache file and then to
// standard output.
void write_listing();

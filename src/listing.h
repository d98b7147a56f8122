#pragma once

#include <cstdint>

// Orders two names of name_list, given as arena offsets, by their bytes as
// unsigned values, as strcmp does.
bool compare_names(std::uint32_t left, std::uint32_t right);

// Writes name_list, sorted, one name per line, to the cache file and then to
// standard output.
void write_listing();

#pragma once

#include <cstdint>

// A name of name_list as the sort sees it: its first eight bytes, big-endian
// and padded with zeros, which order most pairs of names without a visit to
// the arena, and its place and length there.
struct sort_key {
    std::uint64_t prefix;
    std::uint32_t offset;
    std::uint32_t length;
};

// Orders two names by their bytes as unsigned values, as strcmp does.
bool compare_names(const sort_key& left, const sort_key& right);

// Writes name_list, sorted, one name per line, to the cache file and then to
// standard output.
void write_listing();

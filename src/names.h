#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// A set of names. Each name is stored once, NUL-terminated, back to back in
// one arena in the order it was added; an open-addressing table of arena
// offsets finds it again. Nothing is ever removed.
struct name_table {
    char* arena = nullptr;
    std::size_t arena_used = 0;
    std::size_t arena_size = 0;
    std::uint32_t* slots = nullptr; // arena offset + 1, or 0 for an empty slot
    std::size_t slot_count = 0;
    std::size_t count = 0;

    name_table() = default;
    name_table(const name_table&) = delete;
    name_table& operator=(const name_table&) = delete;
    ~name_table();
};

// The slot that holds name, or else the empty slot that add_name fills with it.
// The reference stays valid until the next call on the table.
std::uint32_t& find_name(name_table& table, std::string_view name);

// Stores name in the empty slot that find_name returned for it.
void add_name(name_table& table, std::uint32_t& slot, std::string_view name);

// Frees the lookup table once no more names are looked up; the arena stays.
void drop_lookup(name_table& table);

#include "names.h"

#include "fatal.h"
#include "hash.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

std::size_t hash_name(std::string_view name)
{
    // The fold brings the high bits down to the low ones, which pick the
    // slot.
    const std::uint64_t hash = hash_bytes(name.size() * hash_multiplier, name);
    return static_cast<std::size_t>(hash ^ (hash >> 32));
}

const char* stored_name(const name_table& table, std::uint32_t slot)
{
    return table.arena + slot - 1;
}

bool holds(const char* stored, std::string_view name)
{
    return std::strncmp(stored, name.data(), name.size()) == 0 && stored[name.size()] == '\0';
}

// Probes linearly from the name's home slot; the table is never more than
// half full, so an empty slot is always reached.
std::uint32_t& probe(name_table& table, std::string_view name)
{
    const std::size_t mask = table.slot_count - 1;
    for (std::size_t i = hash_name(name) & mask;; i = (i + 1) & mask) {
        std::uint32_t& slot = table.slots[i];
        if (slot == 0 || holds(stored_name(table, slot), name))
            return slot;
    }
}

void grow_lookup(name_table& table)
{
    std::uint32_t* old_slots = table.slots;
    const std::size_t old_count = table.slot_count;
    const std::size_t new_count = old_count != 0 ? old_count * 2 : 1024;
    void* slots = std::calloc(new_count, sizeof *table.slots);
    if (slots == nullptr)
        fatal("malloc failed");
    table.slots = static_cast<std::uint32_t*>(slots);
    table.slot_count = new_count;
    for (std::size_t i = 0; i < old_count; ++i)
        if (old_slots[i] != 0)
            probe(table, stored_name(table, old_slots[i])) = old_slots[i];
    std::free(old_slots);
}

} // namespace

name_table::~name_table()
{
    std::free(arena);
    std::free(slots);
}

std::uint32_t& find_name(name_table& table, std::string_view name)
{
    if (2 * (table.count + 1) > table.slot_count)
        grow_lookup(table);
    return probe(table, name);
}

void add_name(name_table& table, std::uint32_t& slot, std::string_view name)
{
    const std::size_t needed = table.arena_used + name.size() + 1;
    if (needed > table.arena_size) {
        // Slots hold 32-bit offsets: an arena beyond them is as good as out
        // of memory.
        constexpr std::size_t limit = std::numeric_limits<std::uint32_t>::max();
        if (needed > limit)
            fatal("strdup failed");
        std::size_t size = table.arena_size != 0 ? table.arena_size * 2 : 4096;
        while (size < needed)
            size *= 2;
        size = std::min(size, limit);
        table.arena = static_cast<char*>(reallocate(table.arena, size, "strdup failed"));
        table.arena_size = size;
    }
    char* copy = table.arena + table.arena_used;
    std::memcpy(copy, name.data(), name.size());
    copy[name.size()] = '\0';
    slot = static_cast<std::uint32_t>(table.arena_used + 1);
    table.arena_used = needed;
    ++table.count;
}

void drop_lookup(name_table& table)
{
    std::free(table.slots);
    table.slots = nullptr;
    table.slot_count = 0;
}

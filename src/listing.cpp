#include "listing.h"

#include "cache.h"
#include "descriptor.h"
#include "fatal.h"
#include "scan.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// A name of name_list as the sort sees it: its first eight bytes, big-endian
// and padded with zeros, which order most pairs of names without a visit to
// the arena, and its place and length there.
struct sort_key {
    std::uint64_t prefix;
    std::uint32_t offset;
    std::uint32_t length;
};

sort_key key_of(std::uint32_t offset)
{
    const char* name = name_list.arena + offset;
    const std::size_t length = std::strlen(name);
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8 && i < length; ++i)
        prefix |= std::uint64_t{static_cast<unsigned char>(name[i])} << (56 - 8 * i);
    return {prefix, offset, static_cast<std::uint32_t>(length)};
}

// Orders names by their bytes as unsigned values, as strcmp does.
bool compare_names(const sort_key& left, const sort_key& right)
{
    if (left.prefix != right.prefix)
        return left.prefix < right.prefix;
    // Names hold no NUL byte: with equal prefixes, a name that ends within
    // them is the other name or begins it. Only two longer names go on.
    if (left.length <= 8 || right.length <= 8)
        return left.length < right.length;
    return std::strcmp(name_list.arena + left.offset + 8, name_list.arena + right.offset + 8) < 0;
}

} // namespace

void write_listing(bool cacheable, const timespec& cache_time)
{
    drop_lookup(name_list);

    // Every name is stored once, so the listing is the arena in sorted order
    // with each terminator turned into a line feed, and just as long.
    const std::size_t count = name_list.count;
    auto* order =
        static_cast<sort_key*>(reallocate(nullptr, count * sizeof(sort_key), "malloc failed"));
    std::uint32_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = key_of(offset);
        offset += order[i].length + 1;
    }
    std::sort(order, order + count, [](const sort_key& left, const sort_key& right) {
        return compare_names(left, right);
    });

    const std::size_t size = name_list.arena_used;
    auto* text = static_cast<char*>(reallocate(nullptr, size, "malloc failed"));
    char* end = text;
    for (std::size_t i = 0; i < count; ++i) {
        end = std::copy_n(name_list.arena + order[i].offset, order[i].length, end);
        *end++ = '\n';
    }
    std::free(order);

    // A cache that cannot be written costs only time: the listing is printed
    // all the same.
    const char* unwritten = cacheable ? store_cache(text, size, cache_time) : nullptr;
    if (!write_all(STDOUT_FILENO, text, size))
        fatal("write failed");
    std::free(text);
    if (unwritten != nullptr)
        report(unwritten);
}

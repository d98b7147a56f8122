#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

// Word-at-a-time hashing. Each step is a multiply and a shift that spread
// every input bit over the word.

inline constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15U;

inline std::uint64_t hash_word(std::uint64_t hash, std::uint64_t word)
{
    hash = (hash ^ word) * hash_multiplier;
    return hash ^ (hash >> 29);
}

// Hashes bytes eight at a time, the last few padded with zeros.
inline std::uint64_t hash_bytes(std::uint64_t hash, std::string_view bytes)
{
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes.data() + i, 8);
        hash = hash_word(hash, word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, bytes.data() + i, bytes.size() - i);
    return hash_word(hash, tail);
}

// Mixes every bit of hash into every other, so that any slice of the result
// is as good as any other.
inline std::uint64_t hash_finish(std::uint64_t hash)
{
    hash = (hash ^ (hash >> 30)) * 0xbf58476d1ce4e5b9U;
    hash = (hash ^ (hash >> 27)) * 0x94d049bb133111ebU;
    return hash ^ (hash >> 31);
}

#include "compare/comparison.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

char zeichen1 = 0;
char zeichen2 = 0;
unsigned long dateipos = 0;

std::size_t first_difference(const char *a, const char *b, std::size_t from, std::size_t size) {
    // Equal stretches go through memcmp, which is vectorised; only the stretch that differs is
    // searched, a word at a time. 4 KiB: long enough for memcmp, short to search.
    constexpr std::size_t stretch = 4096;
    if (a == b) {
        return size;
    }
    std::size_t i = from;
    while (size - i >= stretch && std::memcmp(a + i, b + i, stretch) == 0) {
        i += stretch;
    }
    for (; size - i >= sizeof(std::uint64_t); i += sizeof(std::uint64_t)) {
        std::uint64_t word_a = 0;
        std::uint64_t word_b = 0;
        std::memcpy(&word_a, a + i, sizeof word_a);
        std::memcpy(&word_b, b + i, sizeof word_b);
        if (word_a != word_b) {
            const std::uint64_t differing_bits = word_a ^ word_b;
            const int bit = std::endian::native == std::endian::little
                                ? std::countr_zero(differing_bits)
                                : std::countl_zero(differing_bits);
            return i + static_cast<std::size_t>(bit / CHAR_BIT);
        }
    }
    for (; i < size; ++i) {
        if (a[i] != b[i]) {
            return i;
        }
    }
    return size;
}

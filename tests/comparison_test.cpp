// The block comparison against a plain byte-by-byte loop, where fast paths tend to break: block
// and word boundaries, runs of differences across them, inputs that end on a boundary.

#include "byte_reference.hpp"
#include "compare/comparison.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

// Both inputs delivered a block at a time, as two files read in blocks.
Outcome in_blocks(const std::string &a, const std::string &b, Mode mode, std::size_t block) {
    return compared({ScriptedInput{.bytes = a, .deliveries = {block}, .room = block},
                     ScriptedInput{.bytes = b, .deliveries = {block}, .room = block}},
                    mode);
}

std::string random_bytes(std::mt19937 &random, std::size_t size) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char &c : bytes) {
        c = static_cast<char>(byte(random));
    }
    return bytes;
}

} // namespace

TEST(FirstDifference, FindsEachPositionInEveryAlignment) {
    const std::string a(9000, 'x'); // over two memcmp pages, and not a multiple of a word
    for (std::size_t at : {0UL, 1UL, 7UL, 8UL, 9UL, 4095UL, 4096UL, 4097UL, 8191UL, 8999UL}) {
        const std::string b = differing_copy(a, {at + 1});
        for (std::size_t from : {0UL, 1UL, 3UL}) { // misaligned starts
            const std::size_t size = a.size() - from;
            const std::size_t expected = at >= from ? at - from : size;
            EXPECT_EQ(first_difference(a.data() + from, b.data() + from, 0, size), expected)
                << "difference at " << at << ", from " << from;
        }
        EXPECT_EQ(first_difference(a.data(), b.data(), at + 1, a.size()), a.size());
    }
}

// Inputs of every length up to three blocks and a bit, against a copy one byte shorter, as long or
// one byte longer, that differs from every position on for one byte, a word or to its end: every
// block and word boundary, every run across one, every input that ends on one.
TEST(BlockCompare, MatchesByteByByteAtEveryBoundary) {
    constexpr std::size_t block = 16;
    std::mt19937 random(7);
    const std::string base = random_bytes(random, 3 * block + 6);
    for (std::size_t size = 0; size < base.size(); ++size) {
        for (std::size_t from = 1; from <= size + 1; ++from) {
            for (std::size_t run : {1UL, 8UL, base.size()}) {
                std::vector<std::size_t> positions;
                for (std::size_t at = from; at < from + run && at <= base.size(); ++at) {
                    positions.push_back(at);
                }
                const std::string other = differing_copy(base, positions);
                for (std::size_t other_size : {size - std::min(size, 1UL), size, size + 1}) {
                    for (Mode mode : {Mode::mismatch, Mode::verbose}) {
                        const std::string a = base.substr(0, size);
                        const std::string b = other.substr(0, other_size);
                        ASSERT_EQ(in_blocks(a, b, mode, block), byte_by_byte(a, b, mode))
                            << "sizes " << size << " and " << other_size << ", from " << from;
                    }
                }
            }
        }
    }
}

// Random contents, delivered in random sizes into random rooms, some cut short: as a pipe, a file
// read in blocks and mapped windows would deliver them.
TEST(BlockCompare, DifferentialAgainstByteByByte) {
    std::mt19937 random(20261207);
    const auto script = [&](std::string bytes) {
        ScriptedInput input{.bytes = std::move(bytes), .deliveries = {}, .room = 1 + random() % 32};
        for (std::size_t n = 1 + random() % 4; n > 0; --n) {
            input.deliveries.push_back(1 + random() % 40);
        }
        input.eager = random() % 2 == 0;
        if (random() % 5 == 0) {
            input.cut = random() % (input.bytes.size() + 1);
        }
        return input;
    };
    for (int round = 0; round < 3000; ++round) {
        std::uniform_int_distribution<std::size_t> length(0, 100);
        const std::string a = random_bytes(random, length(random));
        std::string b = a.substr(0, std::min(a.size(), length(random)));
        b += random_bytes(random, length(random) / 2);
        for (char &c : b) {
            if (random() % 4 == 0) {
                c = static_cast<char>(random());
            }
        }
        const Mode mode = round % 3 == 0 ? Mode::verbose : Mode::mismatch;
        const ScriptedInput first = script(a);
        const ScriptedInput second = script(b);
        ASSERT_EQ(compared({first, second}, mode),
                  byte_by_byte(a.substr(0, first.cut), b.substr(0, second.cut), mode))
            << "round " << round;
    }
}

// Two mapped files with random layouts of holes and shared blocks, compared by their layout: what
// is passed over must be exactly what holds no difference.
TEST(BlockCompare, LayoutDifferentialAgainstByteByByte) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 1000; ++round) {
        std::uniform_int_distribution<std::size_t> length(1, 300);
        const std::string a = random_bytes(random, length(random));
        std::string b = random_bytes(random, length(random));
        b.replace(0, std::min(a.size(), b.size()) / 2, a, 0, std::min(a.size(), b.size()) / 2);
        const LaidOut laid = laid_out(a, b, random);
        ASSERT_EQ(compared_by_layout(laid),
                  byte_by_byte(laid.bytes[0], laid.bytes[1], Mode::mismatch))
            << "round " << round;
    }
}

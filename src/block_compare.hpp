// The comparison itself: two input streams read a block at a time and compared pair by pair,
// with no files, outputs or failures of its own.
#pragma once

#include "report.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <istream>
#include <span>

// The byte pair and 1-based position of the current round.
extern char zeichen1;
extern char zeichen2;
extern unsigned long dateipos;

static_assert(sizeof(unsigned long) * CHAR_BIT >= 64, "positions must count past 4 GiB");

// Each input is read in requests of this size. On page-cached files 64 to 256 KiB requests
// measured alike; 16 KiB ones cost more system calls, and with 1 MiB ones the two blocks no
// longer stay in the core's cache while they are compared.
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

// Which input ran out first, if only one did.
enum class Shorter { neither, first, second };

// Index of the first byte in [from, size) where a and b differ, or size when they agree.
std::size_t first_difference(const char *a, const char *b, std::size_t from, std::size_t size);

// Fills block from input as far as it goes; a short count means the input ended or failed.
std::size_t read_block(std::istream &input, std::span<char> block);

// Calls report() for each pair of the block that the mode asks for, with zeichen1, zeichen2 and
// dateipos set; dateipos holds the position of the block's first pair and is left just past its
// last. Only the stretches that differ are searched pair by pair.
template <typename Report>
void report_block(const char *block1, const char *block2, std::size_t size, Mode mode,
                  Report &report) {
    const unsigned long start = dateipos;
    const bool verbose = mode == Mode::verbose;
    std::size_t i = verbose ? 0 : first_difference(block1, block2, 0, size);
    while (i < size) {
        zeichen1 = block1[i];
        zeichen2 = block2[i];
        dateipos = start + i;
        report();
        i = verbose ? i + 1 : first_difference(block1, block2, i + 1, size);
    }
    dateipos = start + size;
}

// Compares the two streams from where they stand until one of them fails, calls report() for
// every pair in verbose mode or for every differing pair in mismatch mode, and tells which input
// ran out first: the same reports and verdict as reading one byte of each per round, but read a
// block at a time into block1 and block2, which must be of equal size. dateipos must hold the
// position of the next pair.
template <typename Report>
Shorter compare_streams(std::istream &datei1, std::istream &datei2, Mode mode,
                        std::span<char> block1, std::span<char> block2, Report &&report) {
    while (!datei1.fail() && !datei2.fail()) {
        // Both inputs are read in every step: the verdict needs to know whether the second one
        // also ran out where the first did.
        const std::size_t got1 = read_block(datei1, block1);
        const std::size_t got2 = read_block(datei2, block2);
        const std::size_t common = std::min(got1, got2);
        report_block(block1.data(), block2.data(), common, mode, report);
        // Pair by pair, the comparison would end just past the common part. An input has run out
        // there when it failed and had no byte left beyond that part.
        const bool ran_out1 = datei1.fail() && got1 == common;
        const bool ran_out2 = datei2.fail() && got2 == common;
        if (ran_out1 != ran_out2) {
            return ran_out1 ? Shorter::first : Shorter::second;
        }
    }
    if (datei1.fail() != datei2.fail()) { // one input could not even be opened
        return datei1.fail() ? Shorter::first : Shorter::second;
    }
    return Shorter::neither;
}

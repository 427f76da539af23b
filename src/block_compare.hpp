// The comparison itself: the bytes of two inputs compared pair by pair as they arrive, with no
// files, outputs or failures of its own.
#pragma once

#include "report.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <optional>
#include <span>

// The byte pair and 1-based position of the current round.
extern char zeichen1;
extern char zeichen2;
extern unsigned long dateipos;

static_assert(sizeof(unsigned long) * CHAR_BIT >= 64, "positions must count past 4 GiB");

// Which input ran out first, if only one did.
enum class Shorter { neither, first, second };

// Index of the first byte in [from, size) where a and b differ, or size when they agree. The same
// bytes given for both agree at once: that is how stretches known to be alike are passed over.
std::size_t first_difference(const char *a, const char *b, std::size_t from, std::size_t size);

// Calls report() for each pair of the block that the mode asks for, with zeichen1, zeichen2 and
// dateipos set; dateipos holds the position of the block's first pair and is left just past its
// last. Only the stretches that differ are searched pair by pair. Stops, returning false, as soon
// as report() returns false.
template <typename Report>
bool report_block(const char *block1, const char *block2, std::size_t size, Mode mode,
                  Report &&report) {
    const unsigned long start = dateipos;
    const bool verbose = mode == Mode::verbose;
    std::size_t i = verbose ? 0 : first_difference(block1, block2, 0, size);
    while (i < size) {
        zeichen1 = block1[i];
        zeichen2 = block2[i];
        dateipos = start + i;
        if (!report()) {
            return false;
        }
        i = verbose ? i + 1 : first_difference(block1, block2, i + 1, size);
    }
    dateipos = start + size;
    return true;
}

inline Shorter verdict(bool first_ran_out, bool second_ran_out) {
    if (first_ran_out == second_ran_out) {
        return Shorter::neither;
    }
    return first_ran_out ? Shorter::first : Shorter::second;
}

// Compares two inputs from where they stand, calls report() for every pair in verbose mode or for
// every differing pair in mismatch mode, and tells which input ran out first: the same reports
// and verdict as reading one byte of each per round, but compared as far as both inputs have
// delivered. dateipos must hold the position of the next pair. Returns nothing when report() or
// the inputs asked to stop.
//
// What it asks of the inputs, for k = 0 and 1:
//   bool fill()                        waits until each input has bytes pending or has ended;
//                                      false when the run is to stop
//   std::span<const char> pending(k)  bytes delivered and not yet compared
//   bool ended(k)                      no more bytes will come; true from the start for an input
//                                      that could not be opened
//   void consume(n)                    the first n pending bytes of each were compared
//   std::size_t before_cut(k, upto)   how many of the first upto pending bytes (upto at least
//                                      1) are the input's own: fewer once the file was found cut
//                                      short under them
template <typename Inputs, typename Report>
std::optional<Shorter> compare_inputs(Inputs &inputs, Mode mode, Report &&report) {
    if (inputs.ended(0) || inputs.ended(1)) { // no round: the other input is never read
        return verdict(inputs.ended(0), inputs.ended(1));
    }
    for (;;) {
        if (!inputs.fill()) {
            return std::nullopt;
        }
        const std::span<const char> a = inputs.pending(0);
        const std::span<const char> b = inputs.pending(1);
        const std::size_t common = std::min(a.size(), b.size());
        if (common == 0) {
            // The round that ends the comparison reads a byte of each input, so the one that
            // still has a byte pending must really hold it.
            return verdict(a.empty() || inputs.before_cut(0, 1) == 0,
                           b.empty() || inputs.before_cut(1, 1) == 0);
        }
        const unsigned long start = dateipos;
        // A pair past a cut is not the files', and is not reported.
        const auto real_pair = [&] {
            const std::size_t upto = dateipos - start + 1;
            return std::min(inputs.before_cut(0, upto), inputs.before_cut(1, upto)) < upto ||
                   report();
        };
        if (!report_block(a.data(), b.data(), common, mode, real_pair)) {
            return std::nullopt;
        }
        const std::size_t intact1 = inputs.before_cut(0, common);
        const std::size_t intact2 = inputs.before_cut(1, common);
        if (std::min(intact1, intact2) < common) { // an input ended where it was cut
            dateipos = start + std::min(intact1, intact2);
            return verdict(intact1 <= intact2, intact2 <= intact1);
        }
        inputs.consume(common);
    }
}

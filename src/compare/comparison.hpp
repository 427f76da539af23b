// The comparison itself, free of files, outputs and failures.
#pragma once

#include "texts/report.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <optional>
#include <span>

// The current round's byte pair and 1-based position, by the tool's fixed German names
// (character 1 and 2, file position).
extern char zeichen1;
extern char zeichen2;
extern unsigned long dateipos;

static_assert(sizeof(unsigned long) * CHAR_BIT >= 64, "positions must count past 4 GiB");

// Which input ran out first, if only one did.
enum class Shorter { neither, first, second };

// The first index in [from, size) where a and b differ, or size. The same bytes given for both
// agree at once: that is how stretches known to be alike are passed over.
std::size_t first_difference(const char *a, const char *b, std::size_t from, std::size_t size);

// Calls report() for each pair the mode asks for, with the pair and dateipos set; dateipos starts
// at the block's first pair and ends past its last. False as soon as report() is.
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

// The reports and verdict of reading one byte of each input per round, compared as far as both
// have delivered. Nothing when report() or the inputs asked to stop. The inputs give, for k = 0, 1:
//   fill()              waits until each has bytes pending or has ended; false to stop
//   pending(k)          bytes delivered and not yet compared
//   ended(k)            no more will come; from the start for an input not opened
//   consume(n)          the first n pending bytes of each were compared
//   before_cut(k, upto) how many of the first upto (at least 1) pending bytes are still the file's
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
            // The last round reads a byte of each: the one pending must really be there.
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

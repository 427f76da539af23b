// The comparison run: opens the three files, compares the inputs pair by pair and reports.
#pragma once

#include "report.hpp"

#include <climits>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <span>

// The byte pair and 1-based position of the current round.
extern char zeichen1;
extern char zeichen2;
extern unsigned long dateipos;

static_assert(sizeof(unsigned long) * CHAR_BIT >= 64, "positions must count past 4 GiB");

// Each input is read in blocks of this size. Measured on page-cached files, 128 to 256 KiB
// requests beat smaller ones (more system calls) and 1 MiB ones (two such blocks no longer stay
// in the core's cache while they are compared).
inline constexpr std::size_t block_size = std::size_t{256} * 1024;

// Which input ran out first, if only one did.
enum class Shorter { neither, first, second };

// Called for each pair the mode reports, with zeichen1, zeichen2 and dateipos set.
using PairReport = std::function<void(bool equal)>;

// Compares the two streams from where they stand until one of them fails, calls report for every
// pair in verbose mode or for every differing pair in mismatch mode, and tells which input ran
// out first: the same reports and verdict as reading one byte of each per round, but read a block
// at a time into block1 and block2, which must be of equal size. dateipos must hold the position
// of the next pair; it is advanced past every pair compared.
Shorter compare_streams(std::istream &datei1, std::istream &datei2, Mode mode,
                        std::span<char> block1, std::span<char> block2, const PairReport &report);

// Index of the first byte in [from, size) where a and b differ, or size when they agree.
std::size_t first_difference(const char *a, const char *b, std::size_t from, std::size_t size);

// One output, standard output or the log, and the first reason a write to it failed. A stream
// that failed takes no more writes, so its first failure is the one to report; the run goes on
// to its end for the other output.
struct Output {
    std::ostream &stream;
    int failure = 0; // errno of the first failed write; 0 while every write went through
};

// True while every write to out has gone through; on the first failure, notes its reason. Ask
// it right after a write, while errno still tells why.
bool intact(Output &out);

// Standard output, written by main and by the run.
extern Output console;

// The whole run over the named files. Returns false when a file could not be opened, read or
// written; each such failure has then been reported on standard error.
bool run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode);

// Flushes standard output; false, with a diagnostic, when anything written to it was lost.
bool console_delivered();

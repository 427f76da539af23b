#include "comparison.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

char zeichen1 = 0;
char zeichen2 = 0;
unsigned long dateipos = 0;

Output console{std::cout};

namespace {

// The reason of the failure just seen; a stream can fail without the system giving one.
int last_error() { return errno != 0 ? errno : EIO; }

// Writes to out unless it has already failed, and notes the reason if this write fails: nothing
// is composed for an output that takes no more.
template <typename Write> void deliver(Output &out, const Write &write) {
    if (intact(out)) {
        write(out.stream);
        intact(out);
    }
}

// Opening the log empties it: when it is one of the inputs, that input would be lost.
bool log_overwrites_input(const char *logfile, const char *input) {
    std::error_code unused;
    if (!std::filesystem::equivalent(logfile, input, unused)) {
        return false;
    }
    write_log_refusal(std::cerr, logfile, input);
    return true;
}

// True when the named file did its part; otherwise reports why it did not.
bool reported_unless(bool fine, const char *name) {
    if (!fine) {
        write_failure(std::cerr, name, last_error());
    }
    return fine;
}

// istream::read turns a read error into badbit, the failed state that ends the comparison.
std::size_t read_block(std::istream &input, std::span<char> block) {
    input.read(block.data(), static_cast<std::streamsize>(block.size()));
    return static_cast<std::size_t>(input.gcount());
}

// Reports the pairs of one block that the mode asks for, with zeichen1, zeichen2 and dateipos set
// as each is reported.
void report_block(const char *block1, const char *block2, std::size_t size, Mode mode,
                  const PairReport &report) {
    const unsigned long start = dateipos;
    const bool verbose = mode == Mode::verbose;
    std::size_t i = verbose ? 0 : first_difference(block1, block2, 0, size);
    while (i < size) {
        zeichen1 = block1[i];
        zeichen2 = block2[i];
        dateipos = start + i;
        report(zeichen1 == zeichen2);
        i = verbose ? i + 1 : first_difference(block1, block2, i + 1, size);
    }
    dateipos = start + size;
}

void write_verdict(Output &log, Shorter shorter, const char *file1, const char *file2) {
    if (shorter == Shorter::neither) {
        return;
    }
    const char *shorter_file = shorter == Shorter::first ? file1 : file2;
    const char *other_file = shorter == Shorter::first ? file2 : file1;
    deliver(console,
            [&](std::ostream &out) { write_console_verdict(out, shorter_file, other_file); });
    deliver(log, [&](std::ostream &out) { write_log_verdict(out, shorter_file, other_file); });
}

// Both blocks start on a page boundary. On some CPUs (an AMD EPYC, measured) the kernel copies
// out of the page cache about five times slower into a buffer that is not 32-byte aligned, and
// operator new gives 16-byte alignment only.
struct Blocks {
    static constexpr std::size_t page = 4096;
    alignas(page) std::array<char, block_size> first;
    alignas(page) std::array<char, block_size> second;
};

} // namespace

std::size_t first_difference(const char *a, const char *b, std::size_t from, std::size_t size) {
    // Equal stretches go by a page at a time through memcmp, which is vectorised; only the page
    // that differs is searched, a word at a time.
    constexpr std::size_t page = 4096;
    std::size_t i = from;
    while (size - i >= page && std::memcmp(a + i, b + i, page) == 0) {
        i += page;
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

Shorter compare_streams(std::istream &datei1, std::istream &datei2, Mode mode,
                        std::span<char> block1, std::span<char> block2, const PairReport &report) {
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

bool intact(Output &out) {
    if (!out.stream && out.failure == 0) {
        out.failure = last_error();
    }
    return out.failure == 0;
}

bool run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode) {
    intact(console); // the announcement may already have failed; keep its reason
    if (log_overwrites_input(logfile, file1) || log_overwrites_input(logfile, file2)) {
        return false;
    }
    dateipos = 1;
    std::ofstream logdatei(logfile, std::ios::out | std::ios::trunc);
    const bool log_opened = reported_unless(logdatei.is_open(), logfile);
    std::ifstream datei1(file1);
    bool complete = reported_unless(datei1.is_open(), file1) && log_opened;
    std::ifstream datei2(file2);
    complete = reported_unless(datei2.is_open(), file2) && complete;

    Output log{logdatei};
    write_log_banner(logdatei);
    write_log_heading(logdatei, file1, file2);
    intact(log);

    PairLines lines(mode, logfile);
    const auto report = [&](bool /*equal*/) {
        lines.set(zeichen1, zeichen2, dateipos);
        deliver(console, [&](std::ostream &out) { write_line(out, lines.console_line()); });
        deliver(log, [&](std::ostream &out) { write_line(out, lines.log_line()); });
    };
    const auto blocks = std::make_unique_for_overwrite<Blocks>();
    const Shorter shorter =
        compare_streams(datei1, datei2, mode, blocks->first, blocks->second, report);
    // End of file is how a comparison ends; only a bad stream means an input could not be read.
    complete = reported_unless(!datei1.bad(), file1) && complete;
    complete = reported_unless(!datei2.bad(), file2) && complete;

    write_verdict(log, shorter, file1, file2);
    datei1.close();
    datei2.close();
    write_trailer(logdatei);
    logdatei.close();
    // A log that could not be opened has been reported already.
    if (log_opened && !intact(log)) {
        write_failure(std::cerr, logfile, log.failure);
        complete = false;
    }
    return complete;
}

bool console_delivered() {
    console.stream.flush();
    if (intact(console)) {
        return true;
    }
    write_console_failure(std::cerr, console.failure);
    return false;
}

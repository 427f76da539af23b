// Every text pairscan writes, to standard output, to the log and to standard error.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string_view>

// Memory claimed straight from malloc, which answers a shortage with nullptr: operator new, even
// its nothrow form, throws inside, and throwing can itself need the memory that is missing.
struct FreeMemory {
    void operator()(void *memory) const;
};
template <typename T> using Claimed = std::unique_ptr<T, FreeMemory>;

// Mismatch mode reports the differing pairs only; verbose mode reports every pair.
enum class Mode { mismatch, verbose };

void write_console_banner(std::ostream &console);
void write_usage(std::ostream &console);
void write_announcement(std::ostream &console, Mode mode, std::string_view file1,
                        std::string_view file2, std::string_view logfile);

void write_log_banner(std::ostream &log);
void write_log_heading(std::ostream &log, std::string_view file1, std::string_view file2);

// The report lines of one pair, each composed whole so that it reaches its output in one write:
// in verbose mode the pair prefix followed by the match note or by the mismatch line, in mismatch
// mode the mismatch line. Room for the longest line is claimed up front, so composing a line
// never allocates; claimed() tells whether there was memory for it.
class PairLines {
  public:
    PairLines(Mode mode, std::string_view logfile);
    bool claimed() const { return console_ != nullptr; }
    void set(char zeichen1, char zeichen2, unsigned long dateipos);
    std::string_view console_line();
    std::string_view log_line();

    // "File 1 : ", a byte, " File 2 : ", a byte, " at Position : " and up to 20 digits.
    static constexpr std::size_t longest_pair = 56;
    // Verbose mode shows an unequal pair twice, with a blank between.
    static constexpr std::size_t longest_head = 2 * longest_pair + 1;

  private:
    std::string_view compose(char *line, std::string_view tail) const;

    Mode mode_;
    bool equal_ = false;
    std::size_t head_size_ = 0;
    std::array<char, longest_head> head_{};
    Claimed<char[]> console_; // room for the longest console line, then the mismatch tail
    std::string_view console_tail_;
    std::array<char, longest_head + 16> log_{};
};

void write_console_verdict(std::ostream &console, std::string_view shorter, std::string_view other);
void write_log_verdict(std::ostream &log, std::string_view shorter, std::string_view other);
void write_trailer(std::ostream &log);

// Diagnostics: one line each on standard error, written with one system call and without
// allocating, so that they stay whole beside other writers and work when memory has run out.
void write_failure(std::string_view name, int errnum);
void write_console_failure(int errnum);
void write_memory_failure();
void write_log_refusal(std::string_view logfile, std::string_view input);
void write_console_refusal(std::string_view logfile);

// Every text pairscan writes, to standard output, to the log and to standard error.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <span>
#include <string_view>

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
// mode the mismatch line. The room for the longest console line is given up front, so composing
// a line never allocates.
class PairLines {
  public:
    // The room that the console lines need, with this log name.
    static std::size_t room_needed(std::string_view logfile);
    PairLines(Mode mode, std::string_view logfile, std::span<char> room);
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
    char *console_; // room for the longest console line, then the mismatch tail
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
void write_changed_file(std::string_view name);

// The refusals, before anything is written or read.
enum class Standard { output, error };
void write_log_refusal(std::string_view logfile, std::string_view input);
void write_log_is_standard_refusal(std::string_view logfile, Standard which);
void write_log_is_block_device_refusal(std::string_view logfile);
void write_log_backs_loop_device_refusal(std::string_view logfile, std::string_view device);
void write_input_is_standard_refusal(std::string_view input, Standard which);

// Every text pairscan writes, to standard output, to the log and to standard error.
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

// Shown in both banners; never changed at run time.
inline constexpr float version = 0.1F;

// Mismatch mode reports the differing pairs only; verbose mode reports every pair.
enum class Mode { mismatch, verbose };

void write_console_banner(std::ostream &console);
void write_usage(std::ostream &console);
void write_announcement(std::ostream &console, Mode mode, std::string_view file1,
                        std::string_view file2, std::string_view logfile);

void write_log_banner(std::ostream &log);
void write_log_heading(std::ostream &log, std::string_view file1, std::string_view file2);

// One kind of report line: a head that changes with every pair, then a tail that stays the same
// for the whole run. The tail sits at the end of the buffer and each head is copied in right in
// front of it, so the line is one piece without the tail (which holds the log name, however
// long) being copied again.
class ReportLine {
  public:
    ReportLine(std::size_t head_room, std::string_view tail);
    std::string_view with_head(std::string_view head);

  private:
    std::string text_;
    std::size_t tail_start_;
};

// The report lines of the current pair, each composed whole so that it reaches its stream in
// one write: in verbose mode the pair prefix followed by the match note or by the mismatch line,
// in mismatch mode the mismatch line. Per pair only the two bytes and the position's digits are
// filled in, and nothing is allocated.
class PairLines {
  public:
    PairLines(Mode mode, std::string_view logfile);
    void set(char zeichen1, char zeichen2, unsigned long dateipos);
    std::string_view console_line();
    std::string_view log_line();

    // "File 1 : ", a byte, " File 2 : ", a byte, " at Position : " and up to 20 digits.
    static constexpr std::size_t longest_pair = 56;

  private:
    char *put_position(unsigned long dateipos);

    Mode mode_;
    bool equal_ = false;
    std::array<char, 2 * longest_pair + 1> head_{};
    std::size_t head_size_ = 0;
    unsigned long shown_position_ = 0; // whose digits head_ holds; 0 before the first pair
    std::size_t digits_end_ = 0;
    ReportLine match_;
    ReportLine console_mismatch_;
    ReportLine log_mismatch_;
};

// A composed report line, whose newline is its EOL: handed to the stream in one piece, then
// flushed.
void write_line(std::ostream &out, std::string_view line);

void write_console_verdict(std::ostream &console, std::string_view shorter, std::string_view other);
void write_log_verdict(std::ostream &log, std::string_view shorter, std::string_view other);
void write_trailer(std::ostream &log);

// Diagnostics for standard error: one line each.
void write_failure(std::ostream &errors, std::string_view name, int errnum);
void write_console_failure(std::ostream &errors, int errnum);
void write_log_refusal(std::ostream &errors, std::string_view logfile, std::string_view input);

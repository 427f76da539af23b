#include "report.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>

namespace {

constexpr std::string_view notice = " - byte pair comparison";

// A report line ends with a newline that also flushes, so each line reaches its reader as it is
// written; a "\n" inside a literal does not flush.
std::ostream &eol(std::ostream &out) { return out.put('\n').flush(); }

// The pair details shared by the pair prefix and both mismatch lines. Their fixed text is laid
// out once; each pair fills in the two bytes and the position's digits.
constexpr std::string_view file1 = "File 1 : ";
constexpr std::string_view file2 = " File 2 : ";
constexpr std::string_view position = " at Position : ";
constexpr std::size_t byte1_at = file1.size();
constexpr std::size_t byte2_at = byte1_at + 1 + file2.size();
constexpr std::size_t digits_at = byte2_at + 1 + position.size();
static_assert(digits_at + std::numeric_limits<unsigned long>::digits10 + 1 ==
              PairLines::longest_pair);

// Adds one to the decimal digits in [first, end); false when they were all nines.
bool count_up(char *first, char *end) {
    while (end != first) {
        --end;
        if (*end != '9') {
            ++*end;
            return true;
        }
        *end = '0';
    }
    return false;
}

// Each diagnostic is composed first and written at once, so that it stays one line even when
// standard error is shared with other writers.
void write_diagnostic(std::ostream &errors, std::string_view detail) {
    std::string line = "pairscan: ";
    line.append(detail).append("\n");
    errors.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

} // namespace

void write_console_banner(std::ostream &console) {
    console << "\npairscan " << version << notice << "\n";
}

void write_usage(std::ostream &console) {
    console << "\nusage : pairscan file1 file2 logfile v\n"
               "If you supply the fourth argument you switch to verbose logging\n\n";
}

void write_announcement(std::ostream &console, Mode mode, std::string_view file1,
                        std::string_view file2, std::string_view logfile) {
    const bool verbose = mode == Mode::verbose;
    console << "\nComparing\n"
            << file1 << "\nwith\n"
            << file2 << (verbose ? "\nlogging everything into\n" : "\nlogging mismatches into\n")
            << logfile
            << (verbose ? "\nwith full screen display" : "\nwith mismatch screen display") << eol
            << eol;
}

void write_log_banner(std::ostream &log) { log << "pairscan " << version << notice << "\n\n"; }

void write_log_heading(std::ostream &log, std::string_view file1, std::string_view file2) {
    log << "Comparing " << file1 << " with " << file2 << eol << eol;
}

ReportLine::ReportLine(std::size_t head_room, std::string_view tail)
    : text_(head_room, '\0'), tail_start_(head_room) {
    text_.append(tail);
}

std::string_view ReportLine::with_head(std::string_view head) {
    const std::size_t start = tail_start_ - head.size();
    std::copy(head.begin(), head.end(), text_.begin() + static_cast<std::ptrdiff_t>(start));
    return std::string_view(text_).substr(start);
}

// Each tail ends with the newline of the line's EOL; write_line does its flush.
PairLines::PairLines(Mode mode, std::string_view logfile)
    : mode_(mode), match_(head_.size(), "does match\n"),
      console_mismatch_(head_.size(),
                        std::string(" no match, writing to ").append(logfile).append("\n")),
      log_mismatch_(head_.size(), " does not match\n") {
    char *const byte1 = std::copy(file1.begin(), file1.end(), head_.data());
    char *const byte2 = std::copy(file2.begin(), file2.end(), byte1 + 1);
    std::copy(position.begin(), position.end(), byte2 + 1);
}

void PairLines::set(char zeichen1, char zeichen2, unsigned long dateipos) {
    equal_ = zeichen1 == zeichen2;
    head_[byte1_at] = zeichen1;
    head_[byte2_at] = zeichen2;
    char *const pair_end = put_position(dateipos);
    char *end = pair_end;
    if (mode_ == Mode::verbose) {
        *end++ = ' '; // the pair prefix
        if (!equal_) {
            end = std::copy(head_.data(), pair_end, end); // the mismatch line repeats the pair
        }
    }
    head_size_ = static_cast<std::size_t>(end - head_.data());
}

// Positions mostly follow one another (every pair in verbose mode, a run of differences), so the
// digits shown last are counted up in place; any other position is written out anew.
char *PairLines::put_position(unsigned long dateipos) {
    char *const first = head_.data() + digits_at;
    char *end = head_.data() + digits_end_;
    if (shown_position_ == 0 || dateipos != shown_position_ + 1) {
        end = std::to_chars(first, head_.data() + longest_pair, dateipos).ptr;
    } else if (!count_up(first, end)) {
        *first = '1'; // 9...9 became 0...0: one digit more
        *end++ = '0';
    }
    shown_position_ = dateipos;
    digits_end_ = static_cast<std::size_t>(end - head_.data());
    return end;
}

std::string_view PairLines::console_line() {
    return (equal_ ? match_ : console_mismatch_).with_head({head_.data(), head_size_});
}

std::string_view PairLines::log_line() {
    return (equal_ ? match_ : log_mismatch_).with_head({head_.data(), head_size_});
}

// The stream buffer is driven directly: the sentries of ostream::write and flush cost about a
// tenth of a short line's time. Its failures become the stream's state as those calls make them.
void write_line(std::ostream &out, std::string_view line) {
    if (!out) {
        return;
    }
    std::streambuf &buffer = *out.rdbuf();
    const auto size = static_cast<std::streamsize>(line.size());
    if (buffer.sputn(line.data(), size) != size || buffer.pubsync() == -1) {
        out.setstate(std::ios::badbit);
    }
}

void write_console_verdict(std::ostream &console, std::string_view shorter,
                           std::string_view other) {
    console << eol << shorter << " seems to be shorter then " << other << eol << eol;
}

void write_log_verdict(std::ostream &log, std::string_view shorter, std::string_view other) {
    log << eol << eol << shorter << " seems to be shorter then " << other << eol;
}

void write_trailer(std::ostream &log) { log << "\n\ndone comparing\nEOF"; }

void write_failure(std::ostream &errors, std::string_view name, int errnum) {
    write_diagnostic(errors, std::string(name).append(": ").append(std::strerror(errnum)));
}

void write_console_failure(std::ostream &errors, int errnum) {
    write_failure(errors, "standard output", errnum);
}

void write_log_refusal(std::ostream &errors, std::string_view logfile, std::string_view input) {
    write_diagnostic(errors, std::string("log file '")
                                 .append(logfile)
                                 .append("' is the same file as '")
                                 .append(input)
                                 .append("'; not overwriting it"));
}

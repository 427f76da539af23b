#include "report.hpp"

#include "comparison_run.hpp"
#include "version.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <ostream>

namespace {

constexpr std::string_view notice = " - byte pair comparison";

// A report line ends with a newline that also flushes, so each line reaches its reader as it is
// written; a "\n" inside a literal does not flush.
std::ostream &eol(std::ostream &out) { return out.put('\n').flush(); }

constexpr std::string_view file1_label = "File 1 : ";
constexpr std::string_view file2_label = " File 2 : ";
constexpr std::string_view position_label = " at Position : ";
constexpr std::string_view match_note = "does match\n";
constexpr std::string_view log_mismatch_tail = " does not match\n";
static_assert(file1_label.size() + 1 + file2_label.size() + 1 + position_label.size() +
                  std::numeric_limits<unsigned long>::digits10 + 1 ==
              PairLines::longest_pair);

// memcpy rather than std::copy: GCC makes a byte loop of the latter for these short texts.
char *put(char *out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// The pair details shared by the pair prefix and both mismatch lines: their labels are laid out
// once, and each pair fills in its two bytes and its position.
constexpr std::size_t byte1_at = file1_label.size();
constexpr std::size_t byte2_at = byte1_at + 1 + file2_label.size();
constexpr std::size_t digits_at = byte2_at + 1 + position_label.size();

// Standard error takes the pieces of one diagnostic in a single writev, carried on however the
// descriptor answers.
void write_diagnostic(std::initializer_list<std::string_view> detail) {
    constexpr std::string_view prefix = "pairscan: ";
    constexpr std::string_view newline = "\n";
    constexpr std::size_t most_pieces = 8;
    std::array<iovec, most_pieces> pieces{};
    std::size_t count = 0;
    const auto add = [&](std::string_view piece) {
        pieces[count++] = {const_cast<char *>(piece.data()), piece.size()};
    };
    add(prefix);
    for (std::string_view piece : detail) {
        add(piece);
    }
    add(newline);
    write_whole(STDERR_FILENO, {pieces.data(), count}); // if it fails, there is nowhere to say so
}

constexpr std::string_view no_match = " no match, writing to ";

std::size_t console_tail_size(std::string_view logfile) {
    return no_match.size() + logfile.size() + 1;
}

std::size_t console_line_size(std::string_view logfile) {
    return PairLines::longest_head + std::max(console_tail_size(logfile), match_note.size());
}

std::string_view standard_name(Standard which) {
    return which == Standard::output ? "standard output" : "standard error";
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

std::size_t PairLines::room_needed(std::string_view logfile) {
    return console_line_size(logfile) + console_tail_size(logfile);
}

// Each line's newline is its EOL: the line is written whole, in one write, by its output.
PairLines::PairLines(Mode mode, std::string_view logfile, std::span<char> room)
    : mode_(mode), console_(room.data()) {
    put(put(put(head_.data(), file1_label) + 1, file2_label) + 1, position_label);
    char *const tail = console_ + console_line_size(logfile);
    put(put(put(tail, no_match), logfile), "\n");
    console_tail_ = {tail, console_tail_size(logfile)};
}

void PairLines::set(char zeichen1, char zeichen2, unsigned long dateipos) {
    equal_ = zeichen1 == zeichen2;
    head_[byte1_at] = zeichen1;
    head_[byte2_at] = zeichen2;
    char *const digits = head_.data() + digits_at;
    char *const pair_end =
        std::to_chars(digits, digits + std::numeric_limits<unsigned long>::digits10 + 1, dateipos)
            .ptr;
    char *end = pair_end;
    if (mode_ == Mode::verbose) {
        *end++ = ' '; // the pair prefix
        if (!equal_) {
            end = put(end, {head_.data(), pair_end}); // the mismatch line repeats the pair
        }
    }
    head_size_ = static_cast<std::size_t>(end - head_.data());
}

std::string_view PairLines::compose(char *line, std::string_view tail) const {
    char *const end = put(put(line, {head_.data(), head_size_}), tail);
    return {line, static_cast<std::size_t>(end - line)};
}

std::string_view PairLines::console_line() {
    return compose(console_, equal_ ? match_note : console_tail_);
}

std::string_view PairLines::log_line() {
    return compose(log_.data(), equal_ ? match_note : log_mismatch_tail);
}

void write_console_verdict(std::ostream &console, std::string_view shorter,
                           std::string_view other) {
    console << eol << shorter << " seems to be shorter then " << other << eol << eol;
}

void write_log_verdict(std::ostream &log, std::string_view shorter, std::string_view other) {
    log << eol << eol << shorter << " seems to be shorter then " << other << eol;
}

void write_trailer(std::ostream &log) { log << "\n\ndone comparing\nEOF"; }

void write_failure(std::string_view name, int errnum) {
    write_diagnostic({name, ": ", std::strerror(errnum)});
}

void write_console_failure(int errnum) { write_failure(standard_name(Standard::output), errnum); }

void write_memory_failure() { write_diagnostic({std::strerror(ENOMEM)}); }

void write_changed_file(std::string_view name) {
    write_diagnostic({name, ": file changed as it was read"});
}

void write_log_refusal(std::string_view logfile, std::string_view input) {
    write_diagnostic(
        {"log file '", logfile, "' is the same file as '", input, "'; not overwriting it"});
}

void write_log_is_standard_refusal(std::string_view logfile, Standard which) {
    write_diagnostic({"log file '", logfile, "' is the same file as ", standard_name(which),
                      "; not overwriting it"});
}

void write_log_is_block_device_refusal(std::string_view logfile) {
    write_diagnostic({"log file '", logfile, "' is a block device; not overwriting it"});
}

void write_log_backs_loop_device_refusal(std::string_view logfile, std::string_view device) {
    write_diagnostic(
        {"log file '", logfile, "' is the backing file of ", device, "; not overwriting it"});
}

void write_input_is_standard_refusal(std::string_view input, Standard which) {
    write_diagnostic({"input file '", input, "' is the same file as ", standard_name(which),
                      "; not reading it"});
}

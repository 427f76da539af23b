#include "texts/report.hpp"

#include "version.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr std::string_view notice = " - byte pair comparison";
constexpr Piece eol{"\n", true};

// The version as the default floating-point formatting shows it (0.1): general notation, at most
// six significant digits, no trailing zeros.
struct VersionText {
    std::array<char, 32> digits{};
    std::string_view text;
    VersionText() noexcept {
        const int size =
            std::snprintf(digits.data(), digits.size(), "%g", static_cast<double>(version));
        text = {digits.data(), static_cast<std::size_t>(std::max(size, 0))};
    }
};
const VersionText version_text;

constexpr std::string_view file1_label = "File 1 : ";
constexpr std::string_view file2_label = " File 2 : ";
constexpr std::string_view position_label = " at Position : ";
constexpr std::string_view match_note = "does match\n";
constexpr std::string_view log_mismatch_tail = " does not match\n";
static_assert(file1_label.size() + 1 + file2_label.size() + 1 + position_label.size() +
                  std::numeric_limits<unsigned long>::digits10 + 1 ==
              PairLines::longest_pair);
static_assert(std::max(match_note.size(), log_mismatch_tail.size()) == PairLines::longest_log_tail);

// memcpy rather than std::copy: GCC makes a byte loop of the latter for these short texts.
char *copy_text(char *out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// The pair details shared by the pair prefix and both mismatch lines: their labels are laid out
// once, and each pair fills in its two bytes and its position.
constexpr std::size_t byte1_at = file1_label.size();
constexpr std::size_t byte2_at = byte1_at + 1 + file2_label.size();
constexpr std::size_t digits_at = byte2_at + 1 + position_label.size();

constexpr std::string_view no_match = " no match, writing to ";
constexpr std::string_view verdict_middle = " seems to be shorter then ";

std::size_t console_tail_size(std::string_view logfile) {
    return no_match.size() + logfile.size() + 1;
}

std::size_t console_line_size(std::string_view logfile) {
    return PairLines::longest_head + std::max(console_tail_size(logfile), match_note.size());
}

std::string_view standard_name(Standard which) {
    return which == Standard::output ? "standard output" : "standard error";
}

// "pairscan: ", the detail, and a newline: one line on standard error.
constexpr std::string_view diagnostic_prefix = "pairscan: ";

template <typename... Detail> Text diagnostic(Detail... detail) {
    return Text(diagnostic_prefix, detail..., "\n");
}

// "pairscan: log file 'LOG' ", why, and "; not overwriting it".
template <typename... Why> Text log_kept(std::string_view logfile, Why... why) {
    return Text(diagnostic_prefix, "log file '", logfile, "' ", why..., "; not overwriting it\n");
}

} // namespace

Text texts::console_banner() { return Text("\npairscan ", version_text.text, notice, "\n"); }

Text texts::usage() {
    return Text("\nusage : pairscan file1 file2 logfile v\n"
                "If you supply the fourth argument you switch to verbose logging\n\n");
}

Text texts::announcement(Mode mode, std::string_view file1, std::string_view file2,
                         std::string_view logfile) {
    const bool verbose = mode == Mode::verbose;
    return Text("\nComparing\n", file1, "\nwith\n", file2,
                verbose ? "\nlogging everything into\n" : "\nlogging mismatches into\n", logfile,
                verbose ? "\nwith full screen display" : "\nwith mismatch screen display", eol,
                eol);
}

Text texts::log_banner() { return Text("pairscan ", version_text.text, notice, "\n\n"); }

Text texts::log_heading(std::string_view file1, std::string_view file2) {
    return Text("Comparing ", file1, " with ", file2, eol, eol);
}

std::size_t PairLines::space_needed(std::string_view logfile) {
    return console_line_size(logfile) + console_tail_size(logfile);
}

// Each line's newline is its EOL: the line is written whole, in one write, by its output.
PairLines::PairLines(Mode mode, std::string_view logfile, std::span<char> space)
    : mode_(mode), console_(space.data()) {
    copy_text(copy_text(copy_text(head_.data(), file1_label) + 1, file2_label) + 1, position_label);
    char *const tail = console_ + console_line_size(logfile);
    copy_text(copy_text(copy_text(tail, no_match), logfile), "\n");
    console_tail_ = {tail, console_tail_size(logfile)};
}

void PairLines::set(char byte1, char byte2, unsigned long position) {
    equal_ = byte1 == byte2;
    head_[byte1_at] = byte1;
    head_[byte2_at] = byte2;
    char *const digits = head_.data() + digits_at;
    char *const pair_end =
        std::to_chars(digits, digits + std::numeric_limits<unsigned long>::digits10 + 1, position)
            .ptr;
    char *end = pair_end;
    if (mode_ == Mode::verbose) {
        *end++ = ' '; // the pair prefix
        if (!equal_) {
            end = copy_text(end, {head_.data(), pair_end}); // the mismatch line repeats the pair
        }
    }
    head_size_ = static_cast<std::size_t>(end - head_.data());
}

std::string_view PairLines::compose(char *line, std::string_view tail) const {
    char *const end = copy_text(copy_text(line, {head_.data(), head_size_}), tail);
    return {line, static_cast<std::size_t>(end - line)};
}

std::string_view PairLines::console_line() {
    return compose(console_, equal_ ? match_note : console_tail_);
}

std::string_view PairLines::log_line() {
    return compose(log_.data(), equal_ ? match_note : log_mismatch_tail);
}

// The line that names the shorter file, with the empty lines before and after it.
Text texts::console_verdict(std::string_view shorter, std::string_view other) {
    return Text(eol, shorter, verdict_middle, other, eol, eol);
}

Text texts::log_verdict(std::string_view shorter, std::string_view other) {
    return Text(eol, eol, shorter, verdict_middle, other, eol);
}

Text texts::trailer() { return Text("\n\ndone comparing\nEOF"); }

Text texts::failure(std::string_view name, int errnum) {
    return diagnostic(name, ": ", std::strerror(errnum));
}

Text texts::standard_output_failure(int errnum) {
    return texts::failure(standard_name(Standard::output), errnum);
}

Text texts::memory_failure() { return diagnostic(std::strerror(ENOMEM)); }

Text texts::changed_file(std::string_view name) {
    return diagnostic(name, ": file changed as it was read");
}

Text texts::log_refusal(std::string_view logfile, std::string_view input) {
    return log_kept(logfile, "is the same file as '", input, "'");
}

Text texts::log_is_standard_refusal(std::string_view logfile, Standard which) {
    return log_kept(logfile, "is the same file as ", standard_name(which));
}

Text texts::log_is_block_device_refusal(std::string_view logfile) {
    return log_kept(logfile, "is a block device");
}

Text texts::log_backs_loop_device_refusal(std::string_view logfile, std::string_view device) {
    return log_kept(logfile, "is the backing file of ", device);
}

Text texts::input_is_standard_refusal(std::string_view input, Standard which) {
    return diagnostic("input file '", input, "' is the same file as ", standard_name(which),
                      "; not reading it");
}

Text texts::log_unseen_refusal(std::string_view logfile, std::string_view input,
                               std::string_view layer) {
    return log_kept(logfile, "may reach what '", input, "' reads: nothing shows what lies beneath ",
                    layer);
}

Text texts::input_unseen_refusal(std::string_view input, Standard which, std::string_view layer) {
    return diagnostic("input file '", input, "' may be reached by ", standard_name(which),
                      ": nothing shows what lies beneath ", layer, "; not reading it");
}

Text texts::log_may_back_loop_device_refusal(std::string_view logfile) {
    return log_kept(logfile, "may be the backing file of a loop device that cannot be seen");
}

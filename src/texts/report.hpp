// Every text pairscan writes, to standard output, the log and standard error, composed once.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

enum class Mode { mismatch, verbose };

// A piece that ends a line is an EOL: a newline that also sends what is held, so that each report
// line reaches its reader as it is written. A "\n" inside a piece does not.
struct Piece {
    constexpr Piece(std::string_view text, bool line_end = false)
        : bytes(text), ends_line(line_end) {}
    constexpr Piece(const char *text) : bytes(text) {}
    constexpr Piece() = default;
    std::string_view bytes;
    bool ends_line = false;
};

// A text as the pieces it is written in; it holds no bytes of its own. More pieces than it has
// space for do not compile.
class Text {
  public:
    static constexpr std::size_t capacity = 10;
    template <typename... Pieces>
    explicit Text(Pieces... pieces) : pieces_{Piece(pieces)...}, count_(sizeof...(Pieces)) {
        static_assert(sizeof...(Pieces) <= capacity, "a text has space for ten pieces");
    }
    std::span<const Piece> pieces() const { return {pieces_.data(), count_}; }

  private:
    std::array<Piece, capacity> pieces_{};
    std::size_t count_ = 0;
};

// The report lines of one pair, each composed whole for one write, in space given up front.
class PairLines {
  public:
    static std::size_t space_needed(std::string_view logfile);
    PairLines(Mode mode, std::string_view logfile, std::span<char> space);
    void set(char byte1, char byte2, unsigned long position);
    std::string_view console_line();
    std::string_view log_line();

    // "File 1 : ", a byte, " File 2 : ", a byte, " at Position : " and up to 20 digits.
    static constexpr std::size_t longest_pair = 56;
    // Verbose mode shows an unequal pair twice.
    static constexpr std::size_t longest_head = 2 * longest_pair + 1;
    // " does not match" and its line end, the longer of the log's two tails.
    static constexpr std::size_t longest_log_tail = 16;

  private:
    std::string_view compose(char *line, std::string_view tail) const;

    Mode mode_;
    bool equal_ = false;
    std::size_t head_size_ = 0;
    std::array<char, longest_head> head_{};
    char *console_; // space for the longest console line, then the mismatch tail
    std::string_view console_tail_;
    std::array<char, longest_head + longest_log_tail> log_{};
};

// Which of the standard outputs a refusal names.
enum class Standard { output, error };

namespace texts {

Text console_banner();
Text usage();
Text announcement(Mode mode, std::string_view file1, std::string_view file2,
                  std::string_view logfile);

Text log_banner();
Text log_heading(std::string_view file1, std::string_view file2);

Text console_verdict(std::string_view shorter, std::string_view other);
Text log_verdict(std::string_view shorter, std::string_view other);
Text trailer();

// Diagnostics: one line each on standard error.
Text failure(std::string_view name, int errnum);
Text standard_output_failure(int errnum);
Text memory_failure();
Text changed_file(std::string_view name);

// The refusals.
Text log_refusal(std::string_view logfile, std::string_view input);
Text log_is_standard_refusal(std::string_view logfile, Standard which);
Text log_is_block_device_refusal(std::string_view logfile);
Text log_backs_loop_device_refusal(std::string_view logfile, std::string_view device);
Text input_is_standard_refusal(std::string_view input, Standard which);
// Where a layer shows nothing of what lies beneath it, it may be anything.
Text log_unseen_refusal(std::string_view logfile, std::string_view input, std::string_view layer);
Text input_unseen_refusal(std::string_view input, Standard which, std::string_view layer);
Text log_may_back_loop_device_refusal(std::string_view logfile);

} // namespace texts

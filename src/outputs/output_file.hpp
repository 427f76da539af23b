// The outputs of the run: standard output and the log.
#pragma once

#include "outputs/failure.hpp"
#include "texts/report.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <string_view>

// An output and its first failure. One that failed takes no more writes, nor one that a stop cut
// off, so that it ends on a whole text. Texts are held until an EOL sends them in one write.
class OutputFile {
  public:
    // nullptr stands for standard output.
    explicit OutputFile(const char *name);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Makes and empties nothing: the guard looks first. descriptor() is then the log, or where
    // it is new, the directory it is to be made in.
    void find();
    // Where the log is new: made in that directory, and known as the run's own.
    void make();
    void empty();
    void remove_if_created() const;
    int descriptor() const { return fd_; }
    bool existed() const { return !created_; }

    void write(const Text &text);
    void write_line(std::string_view line);
    // False once the file failed.
    bool flush();
    void close();

    // False for /dev/null too: composing lines for it would be wasted.
    bool takes_lines() const { return !failure_.happened() && !discards_; }
    bool intact() const { return !failure_.happened(); }

  private:
    void hold(std::string_view bytes);
    bool write_all(const char *bytes, std::size_t size);

    const char *name_; // nullptr for standard output
    int fd_ = -1;
    bool owned_ = false;
    bool created_ = false;
    bool discards_ = false;
    bool stopped_ = false;
    int directory_ = -1; // where this run made the log
    Failure failure_;
    std::array<char, 4096> &held_;
    std::size_t held_size_ = 0;
};

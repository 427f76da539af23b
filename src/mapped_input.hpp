// A regular file compared in place: windows of it are mapped from the page cache and unmapped as
// the run moves on, and a file cut short under a window is found out instead of killing the run.
#pragma once

#include "input_source.hpp"

#include <sys/types.h>

class MappedInput final : public Source {
  public:
    MappedInput(const char *name, int fd, const struct stat &opened, int slot);
    ~MappedInput();
    MappedInput(const MappedInput &) = delete;
    MappedInput &operator=(const MappedInput &) = delete;

    // Maps the first window; false when the file cannot be mapped (files under /proc or /sys),
    // and release() then hands the descriptor over to another kind of input.
    bool map_first_window();
    int release();

    void deliver() override { deliver_file(next_, window_size); }
    std::size_t before_cut(std::size_t upto) override;
    void close() override;

    // For comparing by layout: the offset of the first byte not yet delivered, the size when
    // opened, and how far one window reaches from an offset.
    off_t next_offset() const { return next_; }
    off_t size() const { return opened_.st_size; }
    off_t reach(off_t offset) const;
    // Delivers the file's own bytes from offset on, at most length of them, as far as one window
    // reaches.
    void deliver_file(off_t offset, std::size_t length);
    // Delivers bytes that are known to equal the file's from next_offset() on, without reading
    // the file: zeros for a hole, or the other input's bytes where both share their blocks.
    void deliver_equal(std::span<const char> bytes);

  private:
    void map_window(off_t offset);
    void unmap();
    void report_cut();

    int slot_;
    off_t next_ = 0;
    // The mapped window: where it starts in the file, how many of the file's bytes it holds, and
    // whether the bytes pending are from it.
    const char *window_ = nullptr;
    off_t window_offset_ = 0;
    std::size_t window_length_ = 0;
    bool delivering_window_ = false;
};

// Mapped windows can fault when their file is cut short or cannot be read; this keeps the process
// alive and lets the run find out. Installed once, before any input is opened.
void handle_window_faults();

// A regular file compared in place, a mapped window at a time; a cut under a window is found out
// instead of killing the run.
#pragma once

#include "inputs/source.hpp"

#include <sys/types.h>

class MappedInput final : public Source {
  public:
    MappedInput(const char *name, int fd, const struct stat &opened, int slot);
    ~MappedInput();
    MappedInput(const MappedInput &) = delete;
    MappedInput &operator=(const MappedInput &) = delete;

    // False where the file cannot be mapped (/proc, /sys): release() then hands fd over.
    bool map_first_window();
    int release();

    void deliver() override { deliver_file(next_, window_size); }
    std::size_t before_cut(std::size_t upto) override;
    void close() override;

    // For comparing by layout.
    off_t next_offset() const { return next_; }
    off_t size() const { return opened_.st_size; }
    off_t reach(off_t offset) const;
    // At most length bytes from offset on, as far as one window reaches.
    void deliver_file(off_t offset, std::size_t length);
    // Bytes known to equal the file's from next_offset() on: zeros for a hole, or the stand-in
    // both sides get where they share blocks.
    void deliver_equal(std::span<const char> bytes);

  private:
    void map_window(off_t offset);
    void unmap();
    void report_cut();

    int slot_;
    off_t next_ = 0;
    const char *window_ = nullptr;
    off_t window_offset_ = 0;
    std::size_t window_length_ = 0;
    bool delivering_window_ = false;
};

// A window faults where its file was cut short or cannot be read: the run finds out and goes on.
void handle_window_faults();

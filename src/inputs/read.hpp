// An input read block by block into a buffer of its own: a regular file that cannot be mapped
// (files under /proc and /sys tell no true size, and are read to their real end) or a block device.
#pragma once

#include "inputs/source.hpp"

class ReadInput : public Source {
  public:
    ReadInput(const char *name, int fd, const struct stat &opened, std::span<char> block);
    // Reads what one read gives, after the bytes still pending.
    void deliver() override;
    bool has_space() const override;

  private:
    std::span<char> block_;
};

// The mount a file is on: statmount(2) for that one mount, or on older kernels its line of
// /proc/self/mountinfo. Names come whole and unescaped, at any length.
#pragma once

#include "system/heap_list.hpp"

#include <array>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string_view>

// A lower layer of an overlay; a data-only one holds only the bytes of metacopy files.
struct LowerName {
    std::string_view name;
    bool data_only;
};

// The layers an overlay's options name: upper (empty for none), then lower and data layers.
struct OverlayNames {
    std::string_view upper;
    HeapList<LowerName> lowers;
};

class Mount {
  public:
    explicit Mount(int fd);
    ~Mount() { std::free(text_); }
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;

    bool known() const { return text_ != nullptr; }
    // As given to mount(2): "/dev/sda1", an image's path, "tmpfs".
    std::string_view source() const { return source_; }
    std::string_view point() const { return point_; }
    std::string_view root() const { return root_; }
    OverlayNames overlay_layers() const;
    // Whether the file system's options hold this one, as "metacopy=on".
    bool has_option(std::string_view option) const;
    // The relative path of fd's file below the mount's root; false for a file deleted since.
    bool path_below_root(int fd, PathText &path) const;

  private:
    bool ask_statmount(int fd);
    bool read_mountinfo(int fd);
    bool find_line(std::string_view id, std::size_t &used, std::size_t &line);
    bool parse_line(std::size_t length);

    char *text_ = nullptr; // holds every string
    std::string_view source_;
    std::string_view point_;
    std::string_view root_;
    std::string_view options_; // NUL-separated
};

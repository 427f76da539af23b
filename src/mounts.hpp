// The mount an opened file is on, as the kernel tells it: statmount(2) for that one mount, or where
// the kernel is older, its line of /proc/self/mountinfo. Names come whole and unescaped, at any
// length.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <optional>
#include <string_view>

// The layers an overlay's options name, as named there: its upper layer (empty for none), and its
// lower and data layers in order. Not complete where it has more than are kept here.
struct OverlayNames {
    std::string_view upper;
    std::array<std::string_view, 8> lowers;
    std::size_t lower_count = 0;
    bool complete = true;
};

class Mount {
  public:
    // Asks for the mount of fd; known() is false where neither way answers.
    explicit Mount(int fd);
    ~Mount();
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;

    bool known() const { return text_ != nullptr; }
    // What was given to mount(2) as the source ("/dev/sda1", an image's path, "tmpfs").
    std::string_view source() const { return source_; }
    // Where it is mounted, seen from this process, and the directory of its file system there.
    std::string_view point() const { return point_; }
    std::string_view root() const { return root_; }
    OverlayNames overlay_layers() const;
    // Where the file that fd has open lies below the root of the mount, as a relative path; false
    // where that cannot be told (a file deleted since, or seen through another mount).
    bool path_below_root(int fd, std::array<char, PATH_MAX> &path) const;

  private:
    bool ask_statmount(int fd);
    bool read_mountinfo(int fd);
    bool find_line(std::string_view id, std::size_t &used, std::size_t &line);
    bool parse_line(std::size_t length);

    char *text_ = nullptr; // every string above points into it
    std::string_view source_;
    std::string_view point_;
    std::string_view root_;
    std::string_view options_; // NUL-separated
};

using Uuid = std::array<unsigned char, 16>;

// The UUID of the erofs that fd is on (type is its magic number); nothing for other file systems,
// or where the kernel cannot tell it (before Linux 6.5).
std::optional<Uuid> erofs_uuid(int fd, long type);

// Whether the file that fd has open holds uuid where an erofs image keeps its own; an output is
// opened again to be read.
bool holds_erofs_uuid(int fd, const Uuid &uuid);

// The mount an opened file is on, as the kernel tells it: statmount(2) for that one mount, or where
// the kernel is older, its line of /proc/self/mountinfo. Names come whole and unescaped, at any
// length.
#pragma once

#include <cstddef>
#include <string_view>

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
    // Calls each(option) for every option of the file system, in order ("lowerdir=a:b").
    template <typename Each> void each_option(Each &&each) const {
        for (std::size_t at = 0; at < options_.size();) {
            const std::string_view option(options_.data() + at);
            each(option);
            at += option.size() + 1;
        }
    }

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

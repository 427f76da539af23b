#include "guard/mounts.hpp"

#include "system/file_status.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// statmount(2), which the C library does not wrap yet. Kernel headers before Linux 6.8 do not
// know it either; its number is the same on the architectures that share the new system call
// table.
#if defined(__NR_statmount)
constexpr long statmount_call = __NR_statmount;
#elif defined(__x86_64__) || defined(__aarch64__)
constexpr long statmount_call = 457;
#else
constexpr long statmount_call = -1;
#endif
constexpr unsigned mount_id_unique = 0x4000; // STATX_MNT_ID_UNIQUE
constexpr std::uint64_t sb_basic = 0x1;
constexpr std::uint64_t mnt_root = 0x8;
constexpr std::uint64_t mnt_point = 0x10;
constexpr std::uint64_t sb_source = 0x200;
constexpr std::uint64_t opt_array = 0x400;

struct MountRequest {
    std::uint32_t size, spare;
    std::uint64_t mnt_id, param;
};

struct StatMount {
    std::uint32_t size, mnt_opts;
    std::uint64_t mask;
    std::uint32_t sb_dev_major, sb_dev_minor;
    std::uint64_t sb_magic;
    std::uint32_t sb_flags, fs_type;
    std::uint64_t mnt_id, mnt_parent_id;
    std::uint32_t mnt_id_old, mnt_parent_id_old;
    std::uint64_t mnt_attr, mnt_propagation, mnt_peer_group, mnt_master, propagate_from;
    std::uint32_t mnt_root, mnt_point;
    std::uint64_t mnt_ns_id;
    std::uint32_t fs_subtype, sb_source, opt_num, opt_array;
    std::uint64_t spare[47]; // up to the strings, 512 bytes in
    char str[1];
};
static_assert(offsetof(StatMount, str) == 512);

// Twice as large, up to a size no mount comes near.
char *grown(char *buffer, std::size_t &size) {
    constexpr std::size_t largest = std::size_t{64} << 20;
    size *= 2;
    char *const larger =
        size <= largest ? static_cast<char *>(std::realloc(buffer, size)) : nullptr;
    if (larger == nullptr) {
        std::free(buffer);
    }
    return larger;
}

// Undoes mountinfo's octal escapes ("\040" for a blank) into out, which may be in; out's new end.
char *unescape(const char *in, const char *end, char *out) {
    while (in < end) {
        const bool octal = in[0] == '\\' && end - in >= 4 && in[1] >= '0' && in[1] <= '3' &&
                           in[2] >= '0' && in[2] <= '7' && in[3] >= '0' && in[3] <= '7';
        *out++ =
            octal ? static_cast<char>((in[1] - '0') * 64 + (in[2] - '0') * 8 + in[3] - '0') : *in;
        in += octal ? 4 : 1;
    }
    return out;
}

// substr throws, which needs the C++ runtime.
std::string_view past(std::string_view text, std::size_t count) {
    return count < text.size() ? std::string_view(text.data() + count, text.size() - count)
                               : std::string_view();
}

std::string_view unescaped(char *from, const char *to) {
    char *const end = unescape(from, to, from);
    *end = '\0';
    return {from, static_cast<std::size_t>(end - from)};
}

// Mount id, parent id, device, root, mount point, mount options, optional fields, "-", type,
// source, and the file system's options.
struct Fields {
    static constexpr std::size_t capacity = 64;
    std::array<char *, capacity> starts{};
    std::array<char *, capacity> ends{};
    std::size_t count = 0;
    std::size_t separator = 6; // "-", past the optional fields

    Fields(char *line, char *end) {
        for (char *at = line; at < end && count < capacity;) {
            auto *const blank =
                static_cast<char *>(std::memchr(at, ' ', static_cast<std::size_t>(end - at)));
            starts[count] = at;
            ends[count++] = blank != nullptr ? blank : end;
            at = blank != nullptr ? blank + 1 : end;
        }
        while (separator < count &&
               std::string_view(starts[separator], ends[separator] - starts[separator]) != "-") {
            ++separator;
        }
    }
};

} // namespace

Mount::Mount(int fd) {
    if (!ask_statmount(fd) && !read_mountinfo(fd)) {
        std::free(text_);
        text_ = nullptr;
    }
}

bool Mount::ask_statmount(int fd) {
    struct statx file {};
    if (statx(fd, "", AT_EMPTY_PATH, mount_id_unique, &file) != 0 ||
        (file.stx_mask & mount_id_unique) == 0) {
        return false;
    }
    MountRequest request{sizeof request, 0, file.stx_mnt_id,
                         sb_basic | mnt_root | mnt_point | sb_source | opt_array};
    std::size_t size = 4096;
    text_ = static_cast<char *>(std::malloc(size));
    while (text_ != nullptr && syscall(statmount_call, &request, text_, size, 0) != 0) {
        if (errno != EOVERFLOW) {
            return false;
        }
        text_ = grown(text_, size);
    }
    const auto *found = reinterpret_cast<const StatMount *>(text_);
    constexpr std::uint64_t needed = sb_basic | mnt_root | mnt_point | sb_source;
    // Kernels before Linux 6.15 give no array of options: their line of mountinfo has them.
    if (found == nullptr || (found->mask & needed) != needed ||
        (found->sb_magic == OVERLAYFS_SUPER_MAGIC && (found->mask & opt_array) == 0)) {
        return false;
    }
    source_ = found->str + found->sb_source;
    point_ = found->str + found->mnt_point;
    root_ = found->str + found->mnt_root;
    const char *const first = found->str + found->opt_array;
    const char *end = first;
    for (std::uint32_t k = 0; (found->mask & opt_array) != 0 && k < found->opt_num; ++k) {
        end += std::strlen(end) + 1;
    }
    options_ = {first, static_cast<std::size_t>(end - first)};
    return true;
}

bool Mount::read_mountinfo(int fd) {
    struct statx file {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &file) != 0 ||
        (file.stx_mask & STATX_MNT_ID) == 0) {
        return false;
    }
    const int table = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (table < 0) {
        return false;
    }
    std::array<char, 24> id{};
    std::snprintf(id.data(), id.size(), "%llu ", static_cast<unsigned long long>(file.stx_mnt_id));
    std::free(text_);
    std::size_t size = 4096;
    std::size_t used = 0;
    std::size_t line = 0;
    text_ = static_cast<char *>(std::malloc(size));
    bool found = false;
    while (!found && text_ != nullptr) {
        const ssize_t got = used + 1 < size ? read(table, text_ + used, size - used - 1) : 0;
        if (got <= 0 && used + 1 < size) {
            break;
        }
        used += static_cast<std::size_t>(std::max(got, ssize_t{0}));
        found = find_line(id.data(), used, line);
        text_ = !found && used + 1 == size ? grown(text_, size) : text_;
    }
    close(table);
    return found && parse_line(line);
}

// Drops whole lines until the one of id is whole.
bool Mount::find_line(std::string_view id, std::size_t &used, std::size_t &line) {
    for (;;) {
        const auto *end = static_cast<const char *>(std::memchr(text_, '\n', used));
        if (end == nullptr) {
            return false;
        }
        line = static_cast<std::size_t>(end - text_);
        if (std::string_view(text_, line).starts_with(id)) {
            return true;
        }
        used -= line + 1;
        std::memmove(text_, end + 1, used);
    }
}

bool Mount::parse_line(std::size_t length) {
    const Fields fields(text_, text_ + length);
    if (fields.separator + 3 >= fields.count) {
        return false;
    }
    const std::size_t source = fields.separator + 2;
    const std::size_t options = fields.separator + 3;
    root_ = unescaped(fields.starts[3], fields.ends[3]);
    point_ = unescaped(fields.starts[4], fields.ends[4]);
    source_ = unescaped(fields.starts[source], fields.ends[source]);
    // A comma inside an option is escaped: each one is undone after the split.
    char *const first = fields.starts[options];
    char *out = first;
    for (const char *at = first; at < fields.ends[options];) {
        const auto *comma = static_cast<const char *>(
            std::memchr(at, ',', static_cast<std::size_t>(fields.ends[options] - at)));
        const char *const end = comma != nullptr ? comma : fields.ends[options];
        out = unescape(at, end, out);
        *out++ = '\0';
        at = end + 1;
    }
    options_ = {first, static_cast<std::size_t>(out - first)};
    return true;
}

OverlayNames Mount::overlay_layers() const {
    OverlayNames names;
    for (std::size_t at = 0; at < options_.size();) {
        const std::string_view option(options_.data() + at);
        at += option.size() + 1;
        if (option.starts_with("upperdir=")) {
            names.upper = past(option, 9);
        } else if (option.starts_with("lowerdir+=") || option.starts_with("datadir+=")) {
            names.lowers.add({past(option, option.find('=') + 1), option.starts_with("data")});
        }
        // "lowerdir=a:b::c" names the lower layers, then after "::" the data-only ones.
        bool data_only = false;
        for (std::string_view rest = option.starts_with("lowerdir=") ? past(option, 9) : "";
             !rest.empty();) {
            const std::size_t colon = std::min(rest.find(':'), rest.size());
            if (colon > 0) {
                names.lowers.add({{rest.data(), colon}, data_only});
            }
            data_only = data_only || colon == 0;
            rest = past(rest, colon + 1);
        }
    }
    return names;
}

bool Mount::has_option(std::string_view option) const {
    for (std::size_t at = 0; at < options_.size();) {
        const std::string_view held(options_.data() + at);
        at += held.size() + 1;
        if (held == option) {
            return true;
        }
    }
    return false;
}

bool Mount::path_below_root(int fd, PathText &path) const {
    PathText name;
    const std::string_view seen = path_of(fd, name);
    const std::string_view point = point_ == "/" ? "" : point_;
    const bool at_point = seen == point_;
    const std::string_view below = at_point ? "" : past(seen, point.size() + 1);
    if (!path.valid() || seen.empty() || !seen.starts_with(point) ||
        (!at_point && (seen.size() <= point.size() || seen[point.size()] != '/')) ||
        seen.ends_with(" (deleted)")) {
        return false;
    }
    // The mount's own directory is its root's, "." where that is the layer's.
    const std::string_view root = past(root_, 1);
    const std::string_view separator = root.empty() || below.empty() ? "" : "/";
    const int written =
        std::snprintf(path.data(), PathText::size, "%.*s%.*s%.*s", static_cast<int>(root.size()),
                      root.data(), static_cast<int>(separator.size()), separator.data(),
                      static_cast<int>(below.size()), below.data());
    if (written == 0) {
        std::snprintf(path.data(), PathText::size, ".");
    }
    return written >= 0 && static_cast<std::size_t>(written) < PathText::size;
}

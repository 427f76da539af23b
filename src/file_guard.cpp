#include "file_guard.hpp"

#include "report.hpp"
#include "run_output.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

using Path = std::array<char, PATH_MAX>;

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<struct stat> status_of(int fd) {
    struct stat file {};
    return fd >= 0 && fstat(fd, &file) == 0 ? std::optional(file) : std::nullopt;
}

// The name /proc gives an open descriptor.
struct DescriptorName {
    explicit DescriptorName(int fd) {
        std::snprintf(text.data(), text.size(), "/proc/self/fd/%d", fd);
    }
    std::array<char, 32> text{};
};

// The opened files as the rules see them.
struct Facts {
    const OpenedFiles &files;
    std::optional<struct stat> log;
    std::array<std::optional<struct stat>, 2> inputs;
    std::array<std::optional<struct stat>, 2> outputs; // standard output, standard error
};

constexpr std::array<Standard, 2> standard_outputs{Standard::output, Standard::error};

bool log_is_block_device(const Facts &facts) {
    if (facts.log && S_ISBLK(facts.log->st_mode)) {
        say(texts::log_is_block_device_refusal(facts.files.logfile));
        return true;
    }
    return false;
}

// Only a regular file that was there before the run can be what an input reads through another
// layer: a file this run made backs no loop device and lies under no overlay.
bool held_data_before(const Facts &facts) {
    return facts.log && facts.files.log_existed && S_ISREG(facts.log->st_mode);
}

// An input on overlayfs reads a file of one of the overlay's layers, which has a device of its own:
// the lower layer's file, or once the file is copied up, the upper layer's copy.
bool on_overlay(int fd) {
    struct statfs file_system {};
    return fstatfs(fd, &file_system) == 0 && file_system.f_type == OVERLAYFS_SUPER_MAGIC;
}

// The overlay shows its real file's inode number, or with xino that number in the low bits and
// the layer in the high ones: 2 to 10 bits for the 500 layers an overlay can stack, or 32 on older
// kernels. Whether a match is the real file or a coincidence cannot be told; both count.
bool shows_inode_number(ino_t shown, ino_t real) {
    for (int layer_bits = 0; layer_bits <= 32; ++layer_bits) {
        if ((shown & (~ino_t{0} >> layer_bits)) == real) {
            return true;
        }
    }
    return false;
}

// Whether the log is the upper layer's copy of the input's file. A file copied up keeps showing
// its origin's inode number; the copy records that origin in an extended attribute, and the
// input's file handle (three bytes of padding, then the same record) names it too. Where the
// handle cannot be had (before Linux 6.5), any copy of a lower file is taken for the input's.
bool is_upper_copy(int input, int log) {
    std::array<unsigned char, MAX_HANDLE_SZ + 32> origin{}; // a 21-byte head, then the lower handle
    ssize_t size = fgetxattr(log, "trusted.overlay.origin", origin.data(), origin.size());
    if (size < 0) {
        size = fgetxattr(log, "user.overlay.origin", origin.data(), origin.size());
    }
    if (size < 0) {
        return false;
    }
    constexpr int identifier_only = 0x200; // AT_HANDLE_FID: a handle to tell files apart by
    constexpr std::size_t padding = 3;
    union {
        file_handle head;
        std::array<unsigned char, sizeof(file_handle) + MAX_HANDLE_SZ> room;
    } handle{};
    handle.head.handle_bytes = MAX_HANDLE_SZ;
    int mount = 0;
    if (name_to_handle_at(input, "", &handle.head, &mount, AT_EMPTY_PATH | identifier_only) != 0) {
        return true;
    }
    return handle.head.handle_bytes == padding + static_cast<std::size_t>(size) &&
           std::memcmp(handle.head.f_handle + padding, origin.data(),
                       static_cast<std::size_t>(size)) == 0;
}

// Whether the log is the file an input reads: the same file or, for an input on overlayfs, a file
// of a layer underneath.
bool log_is_read_as(const Facts &facts, std::size_t k) {
    const struct stat &input = *facts.inputs[k];
    const int input_fd = facts.files.input_descriptors[k];
    return same_file(*facts.log, input) ||
           (held_data_before(facts) && S_ISREG(input.st_mode) && on_overlay(input_fd) &&
            (shows_inode_number(input.st_ino, facts.log->st_ino) ||
             is_upper_copy(input_fd, facts.files.log)));
}

bool log_is_input(const Facts &facts) {
    for (std::size_t k = 0; k < facts.inputs.size(); ++k) {
        if (facts.log && facts.inputs[k] && log_is_read_as(facts, k)) {
            say(texts::log_refusal(facts.files.logfile, facts.files.inputs[k]));
            return true;
        }
    }
    return false;
}

// The file an attached loop device reads and writes, by the name the kernel gives it; empty when
// it cannot be read. Reading it needs no permission on the device.
void read_backing_file(const char *device, Path &name) {
    Path attribute{};
    std::snprintf(attribute.data(), attribute.size(), "/sys/block/%s/loop/backing_file", device);
    name[0] = '\0';
    const int fd = open(attribute.data(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const ssize_t size = read(fd, name.data(), name.size() - 1);
        name[static_cast<std::size_t>(std::max(size, ssize_t{0}))] = '\0';
        name[std::strcspn(name.data(), "\n")] = '\0';
        close(fd);
    }
}

// Whether the log is that backing file: by device and inode or, where the caller may not look the
// backing file up by its name, by the name the kernel gives both.
bool is_backing_file(const char *backing, const struct stat &log, int log_fd) {
    struct stat file {};
    if (stat(backing, &file) == 0) {
        return same_file(file, log);
    }
    Path name{};
    const ssize_t size = readlink(DescriptorName(log_fd).text.data(), name.data(), name.size());
    return size > 0 && std::string_view(name.data(), static_cast<std::size_t>(size)) == backing;
}

bool is_loop_device(const char *name) {
    constexpr std::size_t prefix = 4;
    return std::strncmp(name, "loop", prefix) == 0 && name[prefix] != '\0' &&
           name[prefix + std::strspn(name + prefix, "0123456789")] == '\0';
}

// Whether an input is the loop device, a partition of it or a file on the file system it holds,
// writing over its backing file writes over all of them. /proc/partitions lists the loop devices
// that hold anything (one of no size backs nothing that emptying could destroy).
bool log_backs_loop_device(const Facts &facts) {
    if (!held_data_before(facts)) {
        return false;
    }
    FILE *partitions = std::fopen("/proc/partitions", "re");
    if (partitions == nullptr) {
        return false;
    }
    std::array<char, 8192> buffer{}; // of its own, spares the fstat that sizes stdio's
    std::setvbuf(partitions, buffer.data(), _IOFBF, buffer.size());
    bool backs = false;
    std::array<char, 256> line{};
    Path backing{};
    while (!backs &&
           std::fgets(line.data(), static_cast<int>(line.size()), partitions) != nullptr) {
        line[std::strcspn(line.data(), "\n")] = '\0';
        const char *last_blank = std::strrchr(line.data(), ' ');
        const char *device = last_blank != nullptr ? last_blank + 1 : line.data();
        if (is_loop_device(device)) {
            read_backing_file(device, backing);
            backs = is_backing_file(backing.data(), *facts.log, facts.files.log);
        }
        if (backs) {
            Path node{};
            std::snprintf(node.data(), node.size(), "/dev/%s", device);
            say(texts::log_backs_loop_device_refusal(facts.files.logfile, node.data()));
        }
    }
    std::fclose(partitions);
    return backs;
}

// Emptying standard output's or standard error's file would erase what the run wrote there.
bool log_is_output_file(const Facts &facts) {
    for (std::size_t k = 0; k < facts.outputs.size(); ++k) {
        const std::optional<struct stat> &out = facts.outputs[k];
        if (facts.log && out && S_ISREG(out->st_mode) && same_file(*facts.log, *out)) {
            say(texts::log_is_standard_refusal(facts.files.logfile, standard_outputs[k]));
            return true;
        }
    }
    return false;
}

// An input that is an output of the run would be compared with the run's own text. A terminal is
// shared line by line, and reading it takes nothing from the output.
bool input_is_output(const Facts &facts) {
    for (std::size_t k = 0; k < facts.inputs.size(); ++k) {
        for (std::size_t which = 0; which < facts.outputs.size(); ++which) {
            const std::optional<struct stat> &out = facts.outputs[which];
            const bool shared = out && !S_ISCHR(out->st_mode) && facts.inputs[k] &&
                                same_file(*facts.inputs[k], *out);
            if (shared) {
                say(texts::input_is_standard_refusal(facts.files.inputs[k],
                                                     standard_outputs[which]));
                return true;
            }
        }
    }
    return false;
}

// In the order their refusals are told: the first broken rule is the one reported.
constexpr std::array rules{log_is_block_device, log_is_input, log_backs_loop_device,
                           log_is_output_file, input_is_output};

} // namespace

void guard_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        // A path-only descriptor of an anonymous inode: reads and writes fail with EBADF, and
        // opening it by name fails (ENXIO, or EACCES for others than root, who owns it).
        const int anonymous = epoll_create1(0);
        const int placeholder = open(DescriptorName(anonymous).text.data(), O_PATH);
        if (placeholder >= 0 && placeholder != fd) {
            dup2(placeholder, fd);
            close(placeholder);
        }
        if (anonymous != fd && placeholder >= 0) {
            close(anonymous);
        } else if (anonymous != fd && anonymous >= 0) { // no /proc: the epoll descriptor will do
            dup2(anonymous, fd);
            close(anonymous);
        }
    }
}

bool log_name_is_block_device(const char *logfile) {
    struct stat log {};
    if (stat(logfile, &log) == 0 && S_ISBLK(log.st_mode)) {
        say(texts::log_is_block_device_refusal(logfile));
        return true;
    }
    return false;
}

bool refused(const OpenedFiles &files) {
    const Facts facts{
        files,
        status_of(files.log),
        {status_of(files.input_descriptors[0]), status_of(files.input_descriptors[1])},
        {status_of(STDOUT_FILENO), status_of(STDERR_FILENO)}};
    return std::any_of(rules.begin(), rules.end(), [&](auto rule) { return rule(facts); });
}

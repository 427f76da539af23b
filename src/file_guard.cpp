#include "file_guard.hpp"

#include "report.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory entry that opening a name for writing would create: its directory and the name
// in it, past the symbolic links the name leads through.
struct Entry {
    dev_t device;
    ino_t directory;
    std::string name;
    bool operator==(const Entry &) const = default;
};

std::optional<Entry> entry_of(std::string path) {
    constexpr int most_links = 40; // where the kernel gives up with ELOOP
    for (int followed = 0; followed < most_links; ++followed) {
        std::array<char, PATH_MAX> target{};
        const ssize_t size = readlink(path.c_str(), target.data(), target.size());
        if (size <= 0) {
            break;
        }
        const std::string_view link(target.data(), static_cast<std::size_t>(size));
        const std::size_t slash = path.rfind('/');
        path = link.front() == '/' || slash == std::string::npos
                   ? std::string(link)
                   : path.substr(0, slash + 1).append(link);
    }
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    struct stat found {};
    if (name.empty() || name == "." || name == ".." || stat(directory.c_str(), &found) != 0) {
        return std::nullopt;
    }
    return Entry{found.st_dev, found.st_ino, std::move(name)};
}

// The file that a loop device reads and writes: writing over it writes over the device.
std::optional<struct stat> backing_file(const char *device) {
    const int fd = open(device, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    loop_info64 info{};
    const bool loop = ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    close(fd);
    if (!loop) {
        return std::nullopt;
    }
    struct stat backing {};
    backing.st_dev = static_cast<dev_t>(info.lo_device);
    backing.st_ino = static_cast<ino_t>(info.lo_inode);
    return backing;
}

// Whether opening the log would empty the input, or create the very file the input is then
// read from. Identity decides, whatever the kind of file; nothing is opened to find out, since
// opening a FIFO or a device can block or act. log and in are nullptr for a name that does not
// exist.
bool log_is_input(const char *logfile, const struct stat *log, const char *input,
                  const struct stat *in) {
    if (log != nullptr && in != nullptr && S_ISBLK(in->st_mode)) {
        const std::optional<struct stat> backing = backing_file(input);
        if (backing && same_file(*log, *backing)) {
            return true;
        }
    }
    if (log != nullptr || in != nullptr) {
        return log != nullptr && in != nullptr && same_file(*log, *in);
    }
    const std::optional<Entry> log_entry = entry_of(logfile);
    return log_entry && log_entry == entry_of(input);
}

// The file behind standard output or standard error, when writing it elsewhere or reading it
// would garble it: a file, a disk, a pipe or a socket. A terminal is shared line by line.
std::optional<struct stat> standard_file(Standard which, bool pipes_too) {
    struct stat file {};
    if (fstat(which == Standard::output ? STDOUT_FILENO : STDERR_FILENO, &file) != 0) {
        return std::nullopt;
    }
    const bool kept = S_ISREG(file.st_mode) || S_ISBLK(file.st_mode) ||
                      (pipes_too && (S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode)));
    return kept ? std::optional(file) : std::nullopt;
}

// An input that is an output of the run would be compared with the run's own text.
bool input_is_standard(const char *input, const struct stat &in) {
    for (Standard which : {Standard::output, Standard::error}) {
        const std::optional<struct stat> out = standard_file(which, true);
        if (out && same_file(in, *out)) {
            write_input_is_standard_refusal(input, which);
            return true;
        }
    }
    return false;
}

} // namespace

void guard_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        // A path-only descriptor of an anonymous inode: reads and writes fail with EBADF, and
        // opening it by name fails (ENXIO, or EACCES for others than root, who owns it).
        const int anonymous = epoll_create1(0);
        const std::string name = "/proc/self/fd/" + std::to_string(anonymous);
        const int placeholder = open(name.c_str(), O_PATH);
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

bool refused_by_name(const char *logfile, const char *file1, const char *file2) {
    struct stat log {};
    const struct stat *const existing = stat(logfile, &log) == 0 ? &log : nullptr;
    if (existing != nullptr && S_ISBLK(log.st_mode)) {
        write_log_is_block_device_refusal(logfile);
        return true;
    }
    const std::array<const char *, 2> inputs{file1, file2};
    std::array<struct stat, 2> found{};
    std::array<const struct stat *, 2> in{};
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        in[k] = stat(inputs[k], &found[k]) == 0 ? &found[k] : nullptr;
    }
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (log_is_input(logfile, existing, inputs[k], in[k])) {
            write_log_refusal(logfile, inputs[k]);
            return true;
        }
    }
    for (Standard which : {Standard::output, Standard::error}) {
        const std::optional<struct stat> out = standard_file(which, false);
        if (existing != nullptr && out && same_file(log, *out)) {
            write_log_is_standard_refusal(logfile, which);
            return true;
        }
    }
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        if (in[k] != nullptr && input_is_standard(inputs[k], *in[k])) {
            return true;
        }
    }
    return false;
}

bool refused_as_opened(const char *logfile, int log, const char *input, int input_descriptor) {
    struct stat in {};
    if (input_descriptor < 0 || fstat(input_descriptor, &in) != 0) {
        return false;
    }
    struct stat written {};
    if (log >= 0 && fstat(log, &written) == 0 && same_file(in, written)) {
        write_log_refusal(logfile, input);
        return true;
    }
    return input_is_standard(input, in);
}

#include "file_guard.hpp"

#include "failure.hpp"
#include "file_status.hpp"
#include "report.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <linux/magic.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

using Path = std::array<char, PATH_MAX>;

// The name /proc gives an open descriptor.
struct DescriptorName {
    explicit DescriptorName(int fd) {
        std::snprintf(text.data(), text.size(), "/proc/self/fd/%d", fd);
    }
    std::array<char, 32> text{};
};

constexpr std::array<Standard, 2> standard_outputs{Standard::output, Standard::error};

// An opened input as the rules see it, and the file system it is on, once asked for.
struct ReadFile {
    const char *name;
    int fd;
    struct stat status;
    mutable std::optional<long> file_system{};
    long type() const { return file_system ? *file_system : *(file_system = file_system_of(fd)); }
};

// A file that output may go to, as the rules see it.
struct WrittenFile {
    int fd;
    struct stat status;
};

std::optional<ReadFile> read_file(const OpenedInputs &inputs, std::size_t k) {
    return inputs.descriptors[k] >= 0
               ? std::optional(
                     ReadFile{inputs.names[k], inputs.descriptors[k], *inputs.statuses[k]})
               : std::nullopt;
}

// overlayfs and FUSE show a file of another file system as their own.
bool stacked(long type) { return type == OVERLAYFS_SUPER_MAGIC || type == FUSE_SUPER_MAGIC; }

// A stacked file system shows the size, times, mode and owner of the file beneath unchanged, under
// a device and inode number of its own. No other file has a change time to the nanosecond alike.
bool shows_attributes_of(const struct stat &shown, const struct stat &file) {
    return shown.st_size == file.st_size && same_time(shown.st_mtim, file.st_mtim) &&
           same_time(shown.st_ctim, file.st_ctim) && shown.st_mode == file.st_mode &&
           shown.st_uid == file.st_uid && shown.st_gid == file.st_gid;
}

// overlayfs shows the lower file's inode number, also where the data is elsewhere (a copy of only
// its metadata), or with xino that number in the low bits and the layer in up to 32 high ones. A
// match may be a coincidence; it counts all the same.
bool shows_inode_number(ino_t shown, ino_t real) {
    for (int layer_bits = 0; layer_bits <= 32; ++layer_bits) {
        if ((shown & (~ino_t{0} >> layer_bits)) == real) {
            return true;
        }
    }
    return false;
}

// Only a regular file with bytes in it can be what an input reads through another layer.
bool may_hold_input(const struct stat &file) { return S_ISREG(file.st_mode) && file.st_size > 0; }

// Whether writing to file changes what the input reads: it is the input, or the file beneath it.
bool reads_through(const ReadFile &input, const struct stat &file) {
    if (same_file(input.status, file)) {
        return true;
    }
    const long type = may_hold_input(file) && S_ISREG(input.status.st_mode) ? input.type() : 0;
    return stacked(type) && (shows_attributes_of(input.status, file) ||
                             (type == OVERLAYFS_SUPER_MAGIC &&
                              shows_inode_number(input.status.st_ino, file.st_ino)));
}

// Whether the input reads from this device (a loop device, named, or a mount's): it is the device,
// or a partition of it, or lies on a file system of it. An input on a stacked file system, or on
// one that shows no device of its own (btrfs), may read from any loop device.
bool reads_from(const ReadFile &input, dev_t device, const char *loop) {
    const dev_t on = S_ISBLK(input.status.st_mode) ? input.status.st_rdev : input.status.st_dev;
    if (on == device || stacked(input.type())) {
        return true;
    }
    if (loop == nullptr || major(on) == 0) {
        return loop != nullptr && input.type() != TMPFS_MAGIC;
    }
    // A partition's place in sysfs lies under its disk's.
    Path sysfs{};
    Path place{};
    Path disk{};
    std::snprintf(sysfs.data(), sysfs.size(), "/sys/dev/block/%u:%u", major(on), minor(on));
    std::snprintf(disk.data(), disk.size(), "/%s/", loop);
    const ssize_t size = readlink(sysfs.data(), place.data(), place.size() - 1);
    place[static_cast<std::size_t>(std::max(size, ssize_t{0}))] = '\0';
    return std::strstr(place.data(), disk.data()) != nullptr;
}

// The name the kernel gives a loop device's backing file, read whole: a name may hold a line feed.
// A file deleted since is named with " (deleted)" after its name: no file, or another, is there.
bool backing_name(const char *device, Path &name) {
    Path attribute{};
    std::snprintf(attribute.data(), attribute.size(), "/sys/block/%s/loop/backing_file", device);
    const int fd = open(attribute.data(), O_RDONLY | O_CLOEXEC);
    const ssize_t size = fd >= 0 ? read(fd, name.data(), name.size() - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    if (size <= 0) {
        return false;
    }
    name[static_cast<std::size_t>(size) - (name[size - 1] == '\n' ? 1 : 0)] = '\0';
    return true;
}

// Whether the backing file that the kernel names is target: by device and inode, or where the
// caller may not look that name up, by the name the kernel gives the target too.
bool named_is(const char *name, const WrittenFile &target, struct stat &named) {
    if (stat(name, &named) == 0) {
        return same_file(named, target.status) || shows_attributes_of(named, target.status);
    }
    Path own{};
    const ssize_t size = readlink(DescriptorName(target.fd).text.data(), own.data(), own.size());
    return size > 0 && std::string_view(own.data(), static_cast<std::size_t>(size)) == name;
}

// Whether the loop device reads target as its disk: by its backing file's device and inode, which
// LOOP_GET_STATUS64 gives where the device can be opened, else by the name the kernel gives that
// file; beneath a backing file on a stacked file system, by the attributes it shows. The file
// beneath is at least as large as the device.
bool loop_reads(const char *device, unsigned long long kib, const WrittenFile &target) {
    const struct stat &file = target.status;
    Path node{};
    std::snprintf(node.data(), node.size(), "/dev/%s", device);
    const int fd = open(node.data(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    loop_info64 info{};
    const bool known = fd >= 0 && ioctl(fd, LOOP_GET_STATUS64, &info) == 0 &&
                       info.lo_number == std::strtoul(device + 4, nullptr, 10); // "loopN"
    if (fd >= 0) {
        close(fd);
    }
    if (known && info.lo_device == file.st_dev && info.lo_inode == file.st_ino) {
        return true;
    }
    Path name{};
    struct stat named {};
    return (!known || major(info.lo_device) == 0) &&
           static_cast<unsigned long long>(file.st_size) >= kib * 1024 &&
           backing_name(device, name) && named_is(name.data(), target, named) &&
           (!known || (named.st_dev == info.lo_device && named.st_ino == info.lo_inode));
}

bool is_loop_device(const char *name) {
    constexpr std::size_t prefix = 4;
    return std::strncmp(name, "loop", prefix) == 0 && name[prefix] != '\0' &&
           name[prefix + std::strspn(name + prefix, "0123456789")] == '\0';
}

// A loop device that reads target as its disk, and that accepts(device number, name) takes: its
// node goes into device. /proc/partitions lists the loop devices that hold anything.
template <typename Accepts>
bool loop_backed_by(const WrittenFile &target, Path &device, Accepts &&accepts) {
    FILE *partitions = std::fopen("/proc/partitions", "re");
    if (partitions == nullptr) {
        return false;
    }
    std::array<char, 8192> buffer{}; // of its own, spares the fstat that sizes stdio's
    std::setvbuf(partitions, buffer.data(), _IOFBF, buffer.size());
    bool backs = false;
    std::array<char, 256> line{};
    while (!backs &&
           std::fgets(line.data(), static_cast<int>(line.size()), partitions) != nullptr) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        unsigned long long kib = 0;
        std::array<char, 64> name{};
        backs = std::sscanf(line.data(), "%u %u %llu %63s", &major_number, &minor_number, &kib,
                            name.data()) == 4 &&
                is_loop_device(name.data()) && loop_reads(name.data(), kib, target) &&
                accepts(makedev(major_number, minor_number), name.data());
        std::snprintf(device.data(), device.size(), "/dev/%s", name.data());
    }
    std::fclose(partitions);
    return backs;
}

// Undoes the escapes of /proc/self/mountinfo (\040 for a blank, \012 for a line feed ...).
void unescape(char *text) {
    char *out = text;
    for (const char *in = text; *in != '\0'; ++out) {
        unsigned code = 0;
        int used = 0;
        if (*in == '\\' && std::sscanf(in + 1, "%3o%n", &code, &used) == 1 && used == 3) {
            *out = static_cast<char>(code);
            in += 4;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
}

// A mount made straight from a file (erofs can be) that reads target as its disk, and whose device
// accepts() takes. Its source, as /proc/self/mountinfo gives it, names that file.
template <typename Accepts> bool mount_backed_by(const WrittenFile &target, Accepts &&accepts) {
    FILE *mounts = std::fopen("/proc/self/mountinfo", "re");
    if (mounts == nullptr) {
        return false;
    }
    std::array<char, 8192> buffer{};
    std::setvbuf(mounts, buffer.data(), _IOFBF, buffer.size());
    bool backs = false;
    bool whole = true; // the line read starts a line
    std::array<char, 2 * PATH_MAX> line{};
    while (!backs && std::fgets(line.data(), static_cast<int>(line.size()), mounts) != nullptr) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        const char *fields = std::strstr(line.data(), " - "); // past the optional fields
        Path source{};
        const bool parsed =
            whole && fields != nullptr &&
            std::sscanf(line.data(), "%*d %*d %u:%u", &major_number, &minor_number) == 2 &&
            std::sscanf(fields + 3, "%*s %4095s", source.data()) == 1 && source[0] == '/';
        whole = std::strchr(line.data(), '\n') != nullptr;
        if (!parsed) {
            continue;
        }
        unescape(source.data());
        struct stat backing {};
        backs =
            stat(source.data(), &backing) == 0 && S_ISREG(backing.st_mode) &&
            (same_file(backing, target.status) || shows_attributes_of(backing, target.status)) &&
            accepts(makedev(major_number, minor_number));
    }
    std::fclose(mounts);
    return backs;
}

// Only a file system that can be mounted straight from a file (erofs, since Linux 6.12), showing
// no device of its own, or a stacked one, can read such a mount's file.
bool may_read_mount_source(const ReadFile &input) {
    return stacked(input.type()) ||
           (major(input.status.st_dev) == 0 && input.type() == EROFS_SUPER_MAGIC_V1);
}

// Whether writing to target changes what the input reads: it is the input, the file beneath it on
// a stacked file system, or the file that a loop device or a mount that the input reads from
// reads as its disk. Loop devices count only with loops: a log that backs one is refused anyway.
bool reads(const ReadFile &input, const WrittenFile &target, bool loops) {
    Path device{};
    const auto from = [&](dev_t disk, const char *loop) { return reads_from(input, disk, loop); };
    return reads_through(input, target.status) ||
           (may_hold_input(target.status) &&
            ((loops && loop_backed_by(target, device, from)) ||
             (may_read_mount_source(input) &&
              mount_backed_by(target, [&](dev_t mount) { return from(mount, nullptr); }))));
}

// The opened files as the log's rules see them.
struct Opened {
    const OpenedFiles &files;
    std::optional<WrittenFile> log;
    std::array<std::optional<ReadFile>, 2> inputs;
    std::array<std::optional<struct stat>, 2> outputs; // standard output, standard error
};

bool log_is_block_device(const Opened &opened) {
    if (opened.log && S_ISBLK(opened.log->status.st_mode)) {
        print_diagnostic(texts::log_is_block_device_refusal(opened.files.logfile));
        return true;
    }
    return false;
}

bool existed(const Opened &opened) { return opened.log && opened.files.log_existed; }

bool log_is_input(const Opened &opened) {
    for (const std::optional<ReadFile> &input : opened.inputs) {
        if (input && opened.log &&
            (same_file(input->status, opened.log->status) ||
             (existed(opened) && reads(*input, *opened.log, false)))) {
            print_diagnostic(texts::log_refusal(opened.files.logfile, input->name));
            return true;
        }
    }
    return false;
}

// Writing over a loop device's backing file writes over the device, its partitions and the file
// system it holds, whichever an input reads.
bool log_backs_loop_device(const Opened &opened) {
    Path device{};
    if (existed(opened) && may_hold_input(opened.log->status) &&
        loop_backed_by(*opened.log, device, [](dev_t, const char *) { return true; })) {
        print_diagnostic(texts::log_backs_loop_device_refusal(opened.files.logfile, device.data()));
        return true;
    }
    return false;
}

// Emptying standard output's or standard error's file would erase what the run wrote there.
bool log_is_output_file(const Opened &opened) {
    for (std::size_t k = 0; k < opened.outputs.size(); ++k) {
        const std::optional<struct stat> &out = opened.outputs[k];
        if (opened.log && out && S_ISREG(out->st_mode) && same_file(opened.log->status, *out)) {
            print_diagnostic(
                texts::log_is_standard_refusal(opened.files.logfile, standard_outputs[k]));
            return true;
        }
    }
    return false;
}

// In the order their refusals are told: the first broken rule is the one reported.
constexpr std::array rules{log_is_block_device, log_is_input, log_backs_loop_device,
                           log_is_output_file};

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

bool standard_outputs_refused(const OpenedInputs &inputs) {
    const std::array<std::optional<struct stat>, 2> outputs{status_of(STDOUT_FILENO),
                                                            status_of(STDERR_FILENO)};
    constexpr std::array<int, 2> descriptors{STDOUT_FILENO, STDERR_FILENO};
    std::array<bool, 2> read{}; // whether an input reads standard output's, standard error's file
    std::optional<Text> refusal;
    for (std::size_t k = 0; k < inputs.names.size(); ++k) {
        const std::optional<ReadFile> input = read_file(inputs, k);
        for (std::size_t which = 0; which < outputs.size(); ++which) {
            const std::optional<struct stat> &out = outputs[which];
            const bool reads_it = input && out && !S_ISCHR(out->st_mode) &&
                                  reads(*input, WrittenFile{descriptors[which], *out}, true);
            if (reads_it && !refusal) {
                refusal = texts::input_is_standard_refusal(input->name, standard_outputs[which]);
            }
            read[which] = read[which] || reads_it;
        }
    }
    if (refusal) {
        send_diagnostics_to(!read[1] ? STDERR_FILENO : !read[0] ? STDOUT_FILENO : -1);
        print_diagnostic(*refusal);
    }
    return refusal.has_value();
}

bool log_name_is_block_device(const char *logfile) {
    struct stat log {};
    if (stat(logfile, &log) == 0 && S_ISBLK(log.st_mode)) {
        print_diagnostic(texts::log_is_block_device_refusal(logfile));
        return true;
    }
    return false;
}

bool log_refused(const OpenedFiles &files) {
    const std::optional<struct stat> log = status_of(files.log);
    const Opened opened{files,
                        log ? std::optional(WrittenFile{files.log, *log}) : std::nullopt,
                        {read_file(files.inputs, 0), read_file(files.inputs, 1)},
                        {status_of(STDOUT_FILENO), status_of(STDERR_FILENO)}};
    return std::any_of(rules.begin(), rules.end(), [&](auto rule) { return rule(opened); });
}

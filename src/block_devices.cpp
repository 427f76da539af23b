#include "block_devices.hpp"

#include "file_status.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

struct SysfsPath {
    SysfsPath(dev_t device, const char *rest) {
        std::snprintf(text.data(), text.size(), "/sys/dev/block/%u:%u%s", major(device),
                      minor(device), rest);
    }
    std::array<char, 96> text{};
};

// Its length, or -1.
ssize_t read_attribute(int directory, const char *name, char *text, std::size_t size) {
    const int fd = openat(directory, name, O_RDONLY | O_CLOEXEC);
    const ssize_t length = fd >= 0 ? read(fd, text, size - 1) : -1;
    if (fd >= 0) {
        close(fd);
    }
    text[length > 0 ? length : 0] = '\0';
    return length;
}

// A "dev" attribute: "major:minor" and a line feed.
bool read_device_number(int directory, const char *name, dev_t &device) {
    std::array<char, 32> text{};
    unsigned major_number = 0;
    unsigned minor_number = 0;
    if (read_attribute(directory, name, text.data(), text.size()) <= 0 ||
        std::sscanf(text.data(), "%u:%u", &major_number, &minor_number) != 2) {
        return false;
    }
    device = makedev(major_number, minor_number);
    return true;
}

std::size_t devices_listed(const char *directory,
                           std::array<dev_t, DeviceBeneath::member_capacity> &devices) {
    const int listing = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t count = 0;
    alignas(dirent64) std::array<char, 4096> entries{};
    std::array<char, NAME_MAX + 8> attribute{};
    for (ssize_t got = 0;
         listing >= 0 && (got = getdents64(listing, entries.data(), entries.size())) > 0;) {
        for (ssize_t at = 0; at < got && count < devices.size();) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries.data() + at);
            at += entry->d_reclen;
            std::snprintf(attribute.data(), attribute.size(), "%s/dev", entry->d_name);
            count += entry->d_name[0] != '.' &&
                             read_device_number(listing, attribute.data(), devices[count])
                         ? 1
                         : 0;
        }
    }
    if (listing >= 0) {
        close(listing);
    }
    return count;
}

// Read whole: a file name may hold a line feed. A deleted file's name no longer leads to it.
void backing_name(dev_t device, std::array<char, PATH_MAX> &name) {
    const ssize_t length = read_attribute(
        AT_FDCWD, SysfsPath(device, "/loop/backing_file").text.data(), name.data(), name.size());
    constexpr std::string_view deleted = " (deleted)\n";
    const std::string_view text(name.data(),
                                static_cast<std::size_t>(std::max(length, ssize_t{0})));
    if (text.empty() || text.ends_with(deleted)) {
        name[0] = '\0';
    } else if (text.back() == '\n') {
        name[text.size() - 1] = '\0';
    }
}

// By LOOP_GET_STATUS64 where the device can be opened, else by the name.
LoopBacking loop_backing(dev_t device, const char *node) {
    LoopBacking backing{};
    backing_name(device, backing.name);
    const int fd = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const std::optional<struct stat> opened = status_of(fd);
    loop_info64 info{};
    const bool asked = opened && S_ISBLK(opened->st_mode) && opened->st_rdev == device &&
                       ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    if (fd >= 0) {
        close(fd);
    }
    struct stat named {};
    if (asked) {
        backing.device =
            static_cast<dev_t>(info.lo_rdevice != 0 ? info.lo_rdevice : info.lo_device);
        backing.inode = info.lo_rdevice != 0 ? 0 : static_cast<ino_t>(info.lo_inode);
    } else if (backing.name[0] != '\0' && stat(backing.name.data(), &named) == 0) {
        backing.device = S_ISBLK(named.st_mode) ? named.st_rdev : named.st_dev;
        backing.inode = S_ISBLK(named.st_mode) ? 0 : named.st_ino;
    }
    return backing;
}

// "/dev/loop3" for the kernel's name "loop3"; sysfs writes "cciss/c0d0" as "cciss!c0d0".
std::array<char, 64> node_name(std::string_view kernel_name) {
    std::array<char, 64> node{};
    std::snprintf(node.data(), node.size(), "/dev/%.*s", static_cast<int>(kernel_name.size()),
                  kernel_name.data());
    std::replace(node.begin(), node.end(), '!', '/');
    return node;
}

} // namespace

// Where sysfs keeps the device: ".../block/vda" for a disk, ".../block/vda/vda1" for one of its
// partitions. A loop device is named "loopN", and other disks may have members.
DeviceBeneath device_beneath(dev_t device) {
    DeviceBeneath beneath{};
    std::array<char, PATH_MAX> place{};
    const ssize_t length =
        readlink(SysfsPath(device, "").text.data(), place.data(), place.size() - 1);
    const std::string_view seen(place.data(),
                                static_cast<std::size_t>(std::max(length, ssize_t{0})));
    const std::size_t slash = seen.rfind('/');
    if (slash == std::string_view::npos || slash == 0) {
        return beneath;
    }
    const std::string_view name(place.data() + slash + 1, seen.size() - slash - 1);
    const std::string_view above(place.data(), slash);
    if (!above.ends_with("/block")) {
        beneath.kind = DeviceBeneath::partition;
        beneath.count = read_device_number(AT_FDCWD, SysfsPath(device, "/../dev").text.data(),
                                           beneath.members[0])
                            ? 1
                            : 0;
    } else if (name.starts_with("loop")) {
        beneath.kind = DeviceBeneath::loop;
        beneath.backing = loop_backing(device, node_name(name).data());
    } else {
        beneath.count = devices_listed(SysfsPath(device, "/slaves").text.data(), beneath.members);
        beneath.kind = beneath.count > 0 ? DeviceBeneath::with_members : DeviceBeneath::disk;
    }
    return beneath;
}

std::array<char, 64> device_node_name(dev_t device) {
    std::array<char, PATH_MAX> place{};
    const ssize_t length =
        readlink(SysfsPath(device, "").text.data(), place.data(), place.size() - 1);
    const std::string_view seen(place.data(),
                                static_cast<std::size_t>(std::max(length, ssize_t{0})));
    const std::size_t slash = seen.rfind('/');
    return slash == std::string_view::npos
               ? std::array<char, 64>{}
               : node_name({place.data() + slash + 1, seen.size() - slash - 1});
}

std::size_t btrfs_devices(int fd, std::array<dev_t, DeviceBeneath::member_capacity> &devices) {
    btrfs_ioctl_fs_info_args info{};
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0) {
        return 0;
    }
    const unsigned char *id = info.fsid;
    std::array<char, 96> path{};
    std::snprintf(path.data(), path.size(),
                  "/sys/fs/btrfs/%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                  "%02x%02x%02x%02x%02x%02x/devices",
                  id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10],
                  id[11], id[12], id[13], id[14], id[15]);
    return devices_listed(path.data(), devices);
}

// By identity, or where this user may not look the name up, by the name the kernel gives both.
bool loop_reads(const LoopBacking &backing, int fd, const struct stat &file) {
    if (backing.inode != 0 || backing.name[0] == '\0') {
        return backing.device == file.st_dev && backing.inode == file.st_ino;
    }
    std::array<char, PATH_MAX> own{};
    const std::string_view path = path_of(fd, own);
    return !path.empty() && path == std::string_view(backing.name.data());
}

dev_t loop_device_backed_by(int fd, const struct stat &file) {
    FILE *partitions = std::fopen("/proc/partitions", "re");
    if (partitions == nullptr) {
        return 0;
    }
    std::array<char, 8192> buffer{}; // of its own, spares the fstat that sizes stdio's
    std::setvbuf(partitions, buffer.data(), _IOFBF, buffer.size());
    dev_t backed = 0;
    std::array<char, 256> line{};
    while (backed == 0 &&
           std::fgets(line.data(), static_cast<int>(line.size()), partitions) != nullptr) {
        unsigned major_number = 0;
        unsigned minor_number = 0;
        unsigned long long kib = 0;
        unsigned number = 0;
        char after = 0;
        if (std::sscanf(line.data(), "%u %u %llu loop%u%c", &major_number, &minor_number, &kib,
                        &number, &after) != 5 ||
            after != '\n' || kib * 1024 > static_cast<unsigned long long>(file.st_size)) {
            continue;
        }
        const dev_t device = makedev(major_number, minor_number);
        const DeviceBeneath beneath = device_beneath(device);
        backed = beneath.kind == DeviceBeneath::loop && loop_reads(beneath.backing, fd, file)
                     ? device
                     : 0;
    }
    std::fclose(partitions);
    return backed;
}

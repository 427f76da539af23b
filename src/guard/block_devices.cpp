#include "guard/block_devices.hpp"

#include "guard/sysfs.hpp"
#include "system/file_status.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/loop.h>
#include <linux/major.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

// By LOOP_GET_STATUS64 on the node, which names a backing file renamed or deleted since.
bool loop_backing_by_node(dev_t device, const char *node, DeviceBeneath &beneath) {
    const int fd = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const std::optional<struct stat> opened = status_of(fd);
    loop_info64 info{};
    const int asked = opened && S_ISBLK(opened->st_mode) && opened->st_rdev == device
                          ? ioctl(fd, LOOP_GET_STATUS64, &info)
                          : -1;
    const bool detached = asked != 0 && errno == ENXIO;
    if (fd >= 0) {
        close(fd);
    }
    beneath.kind = asked == 0 || detached ? DeviceBeneath::loop : beneath.kind;
    beneath.kind = detached ? DeviceBeneath::nothing : beneath.kind;
    beneath.backing_device =
        static_cast<dev_t>(info.lo_rdevice != 0 ? info.lo_rdevice : info.lo_device);
    beneath.backing_inode = info.lo_rdevice != 0 ? 0 : static_cast<ino_t>(info.lo_inode);
    return asked == 0 || detached;
}

// By the name sysfs gives, read whole (a name may hold a line feed); a deleted file's name no
// longer leads to it, and a device with no backing file is not attached.
void loop_backing_by_name(dev_t device, DeviceBeneath &beneath) {
    PathText name;
    const ssize_t length =
        name.valid() ? read_attribute(AT_FDCWD, SysfsPath(device, "/loop/backing_file").text.data(),
                                      name.data(), PathText::size)
                     : -1;
    // Its "loop" directory lists a backing file only while it is attached.
    if (length < 0 && errno == ENOENT && beneath.kind == DeviceBeneath::cannot_be_seen &&
        access(SysfsPath(device, "/loop").text.data(), F_OK) == 0) {
        beneath.kind = DeviceBeneath::nothing;
        return;
    }
    const std::string_view text(name.data(), static_cast<std::size_t>(std::max(length, 0L)));
    struct stat named {};
    if (text.empty() || text.back() != '\n' || text.ends_with(" (deleted)\n")) {
        return;
    }
    name.data()[text.size() - 1] = '\0';
    beneath.backing_name.add(name.data(), text.size());
    if (beneath.kind == DeviceBeneath::cannot_be_seen && stat(name.data(), &named) == 0) {
        beneath.kind = DeviceBeneath::loop;
        beneath.backing_device = S_ISBLK(named.st_mode) ? named.st_rdev : named.st_dev;
        beneath.backing_inode = S_ISBLK(named.st_mode) ? 0 : named.st_ino;
    }
}

DeviceBeneath loop_beneath(dev_t device) {
    DeviceBeneath beneath;
    std::array<char, 32> node{};
    std::snprintf(node.data(), node.size(), "/dev/loop%u", minor(device));
    if (!loop_backing_by_node(device, node.data(), beneath)) {
        const std::array<char, 64> named = device_node_name(device);
        if (std::string_view(named.data()) != node.data()) { // not the same node again
            loop_backing_by_node(device, named.data(), beneath);
        }
    }
    if (beneath.kind != DeviceBeneath::nothing) {
        loop_backing_by_name(device, beneath);
    }
    return beneath;
}

// Without sysfs: a disk driver's devices hold nothing but disks of the same driver.
unsigned disk_driver_major(dev_t device) {
    PathText text;
    const ssize_t length =
        text.valid() ? read_attribute(AT_FDCWD, "/proc/devices", text.data(), PathText::size) : -1;
    const std::string_view all(text.data(), static_cast<std::size_t>(std::max(length, 0L)));
    const std::size_t block = all.find("\nBlock devices:\n");
    std::array<char, 32> line{};
    for (const char *driver : {"sd", "virtblk", "mmc", "xvd"}) {
        std::snprintf(line.data(), line.size(), "\n%3u %s\n", major(device), driver);
        if (block != std::string_view::npos &&
            all.find(line.data(), block) != std::string_view::npos) {
            return major(device);
        }
    }
    return 0;
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
// partitions, under "/devices/virtual/" where software made it. A disk of hardware holds nothing
// beneath, nor a RAM disk; one of software holds its members, or what cannot be seen (a network
// block device, zram, ublk).
DeviceBeneath device_beneath(dev_t device) {
    if (major(device) == LOOP_MAJOR) {
        return loop_beneath(device);
    }
    DeviceBeneath beneath;
    PathText place;
    const std::string_view seen = sysfs_place(device, place);
    const std::size_t slash = seen.rfind('/');
    if (slash == std::string_view::npos || slash == 0) {
        beneath.only_major = disk_driver_major(device);
        return beneath;
    }
    // Not substr, which throws and so needs the C++ runtime.
    const std::string_view name(seen.data() + slash + 1, seen.size() - slash - 1);
    if (!std::string_view(seen.data(), slash).ends_with("/block")) {
        dev_t disk = 0;
        const bool read =
            read_device_number(AT_FDCWD, SysfsPath(device, "/../dev").text.data(), disk);
        beneath.kind = read && beneath.devices.add(disk) ? DeviceBeneath::partition
                                                         : DeviceBeneath::cannot_be_seen;
    } else if (name.starts_with("loop")) {
        return loop_beneath(device);
    } else if (!devices_listed(SysfsPath(device, "/slaves").text.data(), beneath.devices)) {
        beneath.kind = DeviceBeneath::cannot_be_seen;
    } else if (!beneath.devices.empty()) {
        beneath.kind = DeviceBeneath::members;
    } else {
        const bool software = seen.find("/devices/virtual/") != std::string_view::npos;
        beneath.kind = !software || name.starts_with("ram") ? DeviceBeneath::nothing
                                                            : DeviceBeneath::cannot_be_seen;
    }
    return beneath;
}

std::array<char, 64> device_node_name(dev_t device) {
    PathText place;
    const std::string_view seen = sysfs_place(device, place);
    const std::size_t slash = seen.rfind('/');
    if (slash != std::string_view::npos) {
        return node_name({seen.data() + slash + 1, seen.size() - slash - 1});
    }
    // Without sysfs: a loop device's usual node where it is that device, else its number.
    std::array<char, 64> name{};
    std::snprintf(name.data(), name.size(), "/dev/loop%u", minor(device));
    struct stat node {};
    if (major(device) != LOOP_MAJOR || stat(name.data(), &node) != 0 || !S_ISBLK(node.st_mode) ||
        node.st_rdev != device) {
        std::snprintf(name.data(), name.size(), "device %u:%u", major(device), minor(device));
    }
    return name;
}

// Listed in sysfs, or else asked of btrfs one device at a time; a device of no known number cannot
// be seen.
bool btrfs_devices(int fd, HeapList<dev_t> &devices) {
    btrfs_ioctl_fs_info_args info{};
    if (ioctl(fd, BTRFS_IOC_FS_INFO, &info) != 0) {
        return false;
    }
    const unsigned char *id = info.fsid;
    std::array<char, 96> path{};
    std::snprintf(path.data(), path.size(),
                  "/sys/fs/btrfs/%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                  "%02x%02x%02x%02x%02x%02x/devices",
                  id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10],
                  id[11], id[12], id[13], id[14], id[15]);
    if (devices_listed(path.data(), devices) && devices.size() >= info.num_devices) {
        return true;
    }
    // Its answer holds a path of a KiB and more: off the stack.
    auto *const device =
        static_cast<btrfs_ioctl_dev_info_args *>(std::calloc(1, sizeof(btrfs_ioctl_dev_info_args)));
    std::size_t found = 0;
    for (std::uint64_t id_number = 1; device != nullptr && id_number <= info.max_id; ++id_number) {
        std::memset(device, 0, sizeof *device);
        device->devid = id_number;
        struct stat node {};
        if (ioctl(fd, BTRFS_IOC_DEV_INFO, device) == 0 &&
            stat(reinterpret_cast<const char *>(device->path), &node) == 0 &&
            S_ISBLK(node.st_mode) && devices.add(node.st_rdev)) {
            ++found;
        }
    }
    std::free(device);
    return found >= info.num_devices;
}

// Asked of each loop device that sysfs, or else /dev, lists.
int loop_device_backed_by(const struct stat &file, dev_t &device) {
    int backed = 0;
    const auto ask = [&](dev_t loop) {
        const DeviceBeneath beneath = loop_beneath(loop);
        if (beneath.kind == DeviceBeneath::cannot_be_seen && backed == 0) {
            backed = -1;
        } else if (beneath.kind == DeviceBeneath::loop && beneath.backing_inode == file.st_ino &&
                   beneath.backing_device == file.st_dev && (backed != 1 || loop < device)) {
            backed = 1;
            device = loop; // the first by number, whatever order the listing gives
        }
    };
    const bool listed = each_entry(
        open("/sys/block", O_RDONLY | O_DIRECTORY | O_CLOEXEC), [&](int listing, const char *name) {
            std::array<char, NAME_MAX + 8> attribute{};
            std::snprintf(attribute.data(), attribute.size(), "%s/dev", name);
            dev_t loop = 0;
            if (std::string_view(name).starts_with("loop") &&
                read_device_number(listing, attribute.data(), loop)) {
                ask(loop);
            }
        });
    const bool nodes =
        listed || each_entry(open("/dev", O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                             [&](int listing, const char *name) {
                                 struct stat node {};
                                 if (backed != 1 && fstatat(listing, name, &node, 0) == 0 &&
                                     S_ISBLK(node.st_mode) && major(node.st_rdev) == LOOP_MAJOR) {
                                     ask(node.st_rdev);
                                 }
                             });
    return nodes ? backed : (backed == 1 ? 1 : -1);
}

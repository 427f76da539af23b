#include "storage_stack.hpp"

#include "block_devices.hpp"
#include "file_status.hpp"
#include "mounts.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

// The text past its first count characters, or nothing: substr would throw, which needs the C++
// runtime.
std::string_view past(std::string_view text, std::size_t count) {
    return count < text.size() ? std::string_view(text.data() + count, text.size() - count)
                               : std::string_view();
}

// overlayfs and FUSE show a file of another file system as their own.
bool stacked(long type) { return type == OVERLAYFS_SUPER_MAGIC || type == FUSE_SUPER_MAGIC; }

// File systems that keep their files in memory, or that make them up: nothing lies beneath.
bool holds_nothing_beneath(long type) {
    return type == TMPFS_MAGIC || type == RAMFS_MAGIC || type == PROC_SUPER_MAGIC ||
           type == SYSFS_MAGIC || type == PIPEFS_MAGIC || type == SOCKFS_MAGIC ||
           type == DEVPTS_SUPER_MAGIC || type == CGROUP2_SUPER_MAGIC || type == 0;
}

// overlayfs shows the inode number of the file a file was copied up from, or with xino that number
// in the low bits and its layer in up to 32 high ones.
bool shows_inode_number(ino_t shown, ino_t real) {
    for (int layer_bits = 0; layer_bits <= 32; ++layer_bits) {
        if ((shown & (~ino_t{0} >> layer_bits)) == real) {
            return true;
        }
    }
    return false;
}

// A layer that shows another file's attributes shows them all unchanged: no other file has a
// change time to the nanosecond alike, but on a file system of coarse times.
bool shows_attributes_of(const struct stat &shown, const struct stat &file) {
    return shown.st_size == file.st_size && same_time(shown.st_mtim, file.st_mtim) &&
           same_time(shown.st_ctim, file.st_ctim) && shown.st_mode == file.st_mode &&
           shown.st_uid == file.st_uid && shown.st_gid == file.st_gid;
}

// The layer of a file that fd has open, with its status then.
Layer file_layer(int fd, const struct stat &status, Link link, int above) {
    Layer layer{{status.st_dev, status.st_ino}, link, above};
    layer.status_known = true;
    layer.status = status;
    layer.file_system = file_system_of(fd);
    layer.fd = fd;
    return layer;
}

Layer file_layer(int fd, Link link, int above) {
    struct stat status {};
    Layer layer = file_layer(fd, status, link, above);
    layer.status_known = fstat(fd, &layer.status) == 0;
    layer.identity = {layer.status.st_dev, layer.status.st_ino};
    return layer;
}

int open_beneath(int directory, const char *name) {
    return openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
}

// Where a file of an overlay lies in it: its path below the mount's root, without the leading
// slash; false where it cannot be told (a file deleted since, or mounted elsewhere).
bool path_in_mount(int fd, const Mount &mount, std::array<char, PATH_MAX> &path) {
    std::array<char, 32> link{};
    std::array<char, PATH_MAX> name{};
    std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link.data(), name.data(), name.size() - 1);
    const std::string_view seen(name.data(),
                                static_cast<std::size_t>(std::max(length, ssize_t{0})));
    const std::string_view point = mount.point() == "/" ? "" : mount.point();
    const std::string_view below = past(seen, point.size() + 1);
    if (length <= 0 || !seen.starts_with(point) || seen.size() <= point.size() ||
        seen[point.size()] != '/' || seen.ends_with(" (deleted)")) {
        return false;
    }
    const std::string_view root = past(mount.root(), 1);
    const int written = std::snprintf(
        path.data(), path.size(), "%.*s%s%.*s", static_cast<int>(root.size()), root.data(),
        root.empty() ? "" : "/", static_cast<int>(below.size()), below.data());
    return written > 0 && static_cast<std::size_t>(written) < path.size();
}

// A layer beneath the one at above, known only by what that one shows of it: its inode number or
// its attributes.
Layer shown_layer(const Layer &layer, int above, Likeness likeness) {
    Layer shown{{0, layer.identity.inode}, Link::layer, above, likeness};
    shown.status = layer.status;
    return shown;
}

using Uuid = std::array<unsigned char, 16>;

// The UUID of the erofs that a layer is on; nothing for other file systems, or where the kernel
// cannot tell it (before Linux 6.5).
std::optional<Uuid> erofs_uuid(const Layer &file) {
    struct {
        unsigned char length;
        Uuid bytes;
    } uuid{sizeof(Uuid), {}};
    constexpr unsigned long get_fs_uuid = 0x80111500; // FS_IOC_GETFSUUID
    return file.file_system == EROFS_SUPER_MAGIC_V1 && ioctl(file.fd, get_fs_uuid, &uuid) == 0 &&
                   uuid.length == sizeof(Uuid)
               ? std::optional(uuid.bytes)
               : std::nullopt;
}

// Whether the file that fd has open holds uuid where an erofs image keeps its own; an output is
// opened again to be read.
bool holds_erofs_uuid(int fd, const Uuid &uuid) {
    constexpr off_t erofs_uuid_at = 1024 + 48;
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "/proc/self/fd/%d", fd);
    const int readable = open(name.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    Uuid held{};
    const bool holds =
        pread(readable, held.data(), held.size(), erofs_uuid_at) == 16 && held == uuid;
    if (readable >= 0) {
        close(readable);
    }
    return holds;
}

} // namespace

bool Way::add(const Layer &layer) {
    for (std::size_t k = 0; k < count_; ++k) {
        if (layers_[k].likeness == layer.likeness && layers_[k].identity == layer.identity) {
            return false; // reached before, by another way
        }
    }
    if (count_ == layers_.size()) {
        return false;
    }
    layers_[count_++] = layer;
    return true;
}

bool same_layer(const Layer &a, const Layer &b) {
    if (a.likeness == Likeness::identity && b.likeness == Likeness::identity) {
        return a.identity == b.identity;
    }
    if (a.likeness != Likeness::identity && b.likeness != Likeness::identity) {
        return false;
    }
    const Layer &known = a.likeness == Likeness::identity ? a : b;
    const Layer &shown = a.likeness == Likeness::identity ? b : a;
    if (!known.status_known || !S_ISREG(known.status.st_mode) || stacked(known.file_system)) {
        return false;
    }
    if (shown.likeness == Likeness::erofs_uuid) {
        return known.fd >= 0 && holds_erofs_uuid(known.fd, shown.uuid);
    }
    if (shown.likeness == Likeness::inode_number) {
        return (shown.identity.device == 0 || shown.identity.device == known.identity.device) &&
               shows_inode_number(shown.identity.inode, known.identity.inode);
    }
    return shows_attributes_of(shown.status, known.status);
}

StorageStack::~StorageStack() {
    for (std::size_t k = 0; k < opened_count_; ++k) {
        close(opened_[k]);
    }
}

Way StorageStack::reads(int fd, const struct stat &status) { return walk(fd, status, false); }

Way StorageStack::writes(int fd, const struct stat &status) { return walk(fd, status, true); }

Way StorageStack::walk(int fd, const struct stat &status, bool writing) {
    Way way;
    Layer top = file_layer(fd, status, Link::itself, -1);
    top.identity.device = S_ISBLK(status.st_mode) ? status.st_rdev : status.st_dev;
    top.identity.inode = S_ISBLK(status.st_mode) ? 0 : status.st_ino;
    way.add(top);
    for (std::size_t k = 0; k < way.size(); ++k) {
        step_down(way, k, writing);
    }
    return way;
}

void StorageStack::step_down(Way &way, std::size_t k, bool writing) {
    const Layer &layer = way[k];
    if (layer.likeness == Likeness::identity && layer.identity.inode == 0) {
        from_device(way, k);
    } else if (!layer.status_known || S_ISREG(layer.status.st_mode) ||
               S_ISDIR(layer.status.st_mode)) {
        from_file(way, k, writing); // devices, FIFOs and sockets keep nothing on their file system
    }
}

int StorageStack::keep_open(int fd) {
    if (fd >= 0 && opened_count_ == opened_.size()) {
        close(fd);
        return -1;
    }
    if (fd >= 0) {
        opened_[opened_count_++] = fd;
    }
    return fd;
}

void StorageStack::from_device(Way &way, std::size_t k) {
    const DeviceBeneath beneath = device_beneath(way[k].identity.device);
    const int above = static_cast<int>(k);
    const LoopBacking &backing = beneath.backing;
    if (beneath.kind == DeviceBeneath::loop && backing.inode != 0) {
        // The name sysfs gives leads to the file unless it was renamed or deleted since: then only
        // its device is known to lie beneath it.
        const int fd =
            keep_open(open(backing.name.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        Layer layer = fd >= 0 ? file_layer(fd, Link::loop, above) : Layer{};
        if (!(layer.identity == Identity{backing.device, backing.inode})) {
            layer = Layer{{backing.device, backing.inode}, Link::loop, above};
        }
        way.add(layer);
    } else if (beneath.kind == DeviceBeneath::loop && backing.device != 0) {
        way.add(Layer{{backing.device, 0}, Link::loop, above}); // a loop device over a device
    }
    const Link link = beneath.kind == DeviceBeneath::partition ? Link::partition : Link::member;
    for (std::size_t m = 0; m < beneath.count; ++m) {
        way.add(Layer{{beneath.members[m], 0}, link, above});
    }
}

void StorageStack::from_file(Way &way, std::size_t k, bool writing) {
    const Layer &layer = way[k];
    const dev_t device = layer.identity.device;
    const int above = static_cast<int>(k);
    std::array<dev_t, DeviceBeneath::most_members> devices{};
    const std::size_t count =
        layer.file_system == BTRFS_SUPER_MAGIC ? btrfs_devices(layer.fd, devices) : 0;
    for (std::size_t d = 0; d < count; ++d) {
        way.add(Layer{{devices[d], 0}, Link::file_system, above});
    }
    if (layer.fd < 0 || layer.file_system == BTRFS_SUPER_MAGIC) {
        if (layer.fd < 0 && major(device) != 0) { // a file known by its identity alone
            way.add(Layer{{device, 0}, Link::file_system, above});
        }
    } else if (layer.file_system == OVERLAYFS_SUPER_MAGIC) {
        from_overlay(way, k, writing);
    } else if (layer.file_system == FUSE_SUPER_MAGIC) {
        way.add(shown_layer(layer, above, Likeness::attributes));
    } else if (major(device) != 0) {
        way.add(Layer{{device, 0}, Link::file_system, above});
    } else if (!holds_nothing_beneath(layer.file_system)) {
        from_mount_source(way, k);
    }
}

// A write to a file of an overlay goes to its upper layer, copied up there first: the lower
// layers only ever give bytes. The file is found by its path in each layer, and a lower one counts
// as the overlay's only where the overlay shows its inode number; where none does, or the layers
// cannot be found, the file beneath is matched by what the overlay shows of it.
void StorageStack::from_overlay(Way &way, std::size_t k, bool writing) {
    const Layer layer = way[k];
    const int above = static_cast<int>(k);
    const Mount mount(layer.fd);
    const OverlayDirectories directories = open_layers(mount);
    std::array<char, PATH_MAX> path{};
    if (layer.likeness != Likeness::identity || !mount.known() || !directories.all_found ||
        !path_in_mount(layer.fd, mount, path)) {
        way.add(shown_layer(layer, above, Likeness::attributes));
        if (!writing) {
            way.add(shown_layer(layer, above, Likeness::inode_number));
        }
        return;
    }
    const int upper =
        directories.upper >= 0 ? keep_open(open_beneath(directories.upper, path.data())) : -1;
    if (upper >= 0 || (writing && directories.upper >= 0)) {
        way.add(file_layer(upper >= 0 ? upper : directories.upper, Link::layer, above));
    }
    bool found = writing;
    for (std::size_t d = 0; !found && d < directories.lower_count; ++d) {
        const int lower = keep_open(open_beneath(directories.lowers[d], path.data()));
        const Layer beneath = lower >= 0 ? file_layer(lower, Link::layer, above) : Layer{};
        found = lower >= 0 && S_ISREG(beneath.status.st_mode) &&
                shows_inode_number(layer.identity.inode, beneath.identity.inode);
        if (found) {
            way.add(beneath);
        }
    }
    for (std::size_t d = 0; !found && d < directories.lower_count; ++d) {
        Layer lower = file_layer(directories.lowers[d], Link::layer, above);
        lower.identity.inode = layer.identity.inode;
        lower.likeness = Likeness::inode_number;
        way.add(lower);
    }
}

// A file system with no device of its own may be mounted from a file (erofs can be): its source,
// where that names a regular file, as the tool's directory sees a relative name. An erofs image
// holds the UUID of its file system: a name that leads to no such file now was renamed, and any
// file that holds the UUID is taken for the image.
void StorageStack::from_mount_source(Way &way, std::size_t k) {
    const Mount mount(way[k].fd);
    const std::optional<Uuid> uuid = erofs_uuid(way[k]);
    std::array<char, PATH_MAX> name{};
    if (!mount.known() || mount.source().size() >= name.size()) {
        return;
    }
    std::memcpy(name.data(), mount.source().data(), mount.source().size());
    const int fd = open(name.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat source {};
    if (fd >= 0 && fstat(fd, &source) == 0 && S_ISREG(source.st_mode) &&
        (!uuid || holds_erofs_uuid(fd, *uuid))) {
        way.add(file_layer(keep_open(fd), Link::mount_source, static_cast<int>(k)));
        return;
    }
    if (fd >= 0) {
        close(fd);
    }
    if (uuid) {
        Layer image{{}, Link::mount_source, static_cast<int>(k), Likeness::erofs_uuid};
        image.uuid = *uuid;
        way.add(image);
    }
}

// The layers of an overlay, as its options name them: a relative name as the tool's directory
// sees it.
OverlayDirectories StorageStack::open_layers(const Mount &mount) {
    OverlayDirectories directories;
    const auto open_directory = [&](std::string_view name) {
        std::array<char, PATH_MAX> path{};
        if (name.empty() || name.size() >= path.size()) {
            return -1;
        }
        std::memcpy(path.data(), name.data(), name.size());
        const int fd = keep_open(open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        directories.all_found = directories.all_found && fd >= 0;
        return fd;
    };
    mount.each_option([&](std::string_view option) {
        const bool several = option.starts_with("lowerdir=");
        if (option.starts_with("upperdir=")) {
            directories.upper = open_directory(past(option, 9));
        } else if (several || option.starts_with("lowerdir+=") || option.starts_with("datadir+=")) {
            for (std::string_view rest = past(option, option.find('=') + 1); !rest.empty();) {
                const std::size_t colon = several ? rest.find(':') : std::string_view::npos;
                const int lower = open_directory({rest.data(), std::min(colon, rest.size())});
                if (lower >= 0 && directories.lower_count < directories.lowers.size()) {
                    directories.lowers[directories.lower_count++] = lower;
                }
                rest = colon == std::string_view::npos ? "" : past(rest, colon + 1);
            }
        }
    });
    return directories;
}

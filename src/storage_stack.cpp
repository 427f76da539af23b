#include "storage_stack.hpp"

#include "file_status.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>

namespace {

// With xino, overlayfs shows the layer in up to 32 high bits.
bool shows_inode_number(ino_t shown, ino_t real) {
    for (int layer_bits = 0; layer_bits <= 32; ++layer_bits) {
        if ((shown & (~ino_t{0} >> layer_bits)) == real) {
            return true;
        }
    }
    return false;
}

// Only on a file system of whole seconds could another file show the same change time.
bool shows_attributes_of(const struct stat &shown, const struct stat &file) {
    return shown.st_size == file.st_size && same_time(shown.st_mtim, file.st_mtim) &&
           same_time(shown.st_ctim, file.st_ctim) && shown.st_mode == file.st_mode &&
           shown.st_uid == file.st_uid && shown.st_gid == file.st_gid;
}

Layer shown_layer(const Layer &layer, int above, Likeness likeness) {
    Layer shown{{0, layer.identity.inode}, Link::layer, above, likeness};
    shown.status = layer.status;
    return shown;
}

// Opens a name that a mount gives; a relative one from the tool's directory.
int open_named(std::string_view name, int flags) {
    std::array<char, PATH_MAX> path{};
    if (name.empty() || name.size() >= path.size()) {
        return -1;
    }
    std::copy(name.begin(), name.end(), path.begin());
    return open(path.data(), flags | O_CLOEXEC);
}

int open_beneath(int directory, const char *name) {
    return openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

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
    switch (shown.likeness) {
    case Likeness::inode_number:
        return (shown.identity.device == 0 || shown.identity.device == known.identity.device) &&
               shows_inode_number(shown.identity.inode, known.identity.inode);
    case Likeness::attributes:
        return shows_attributes_of(shown.status, known.status);
    default:
        return known.fd >= 0 && holds_erofs_uuid(known.fd, shown.uuid);
    }
}

void Way::add(const Layer &layer) {
    for (std::size_t k = 0; k < count_; ++k) {
        const Layer &before = slots_[k].layer;
        if (before.likeness == layer.likeness && before.identity == layer.identity) {
            return; // reached before, from another layer
        }
    }
    if (count_ < slots_.size()) {
        slots_[count_++].layer = layer;
    }
}

StorageStack::~StorageStack() {
    for (std::size_t k = 0; k < opened_count_; ++k) {
        close(opened_[k]);
    }
}

// Devices, FIFOs and sockets keep nothing on the file system their node is on.
Way StorageStack::walk(int fd, const struct stat &status, bool writing) {
    Way way;
    Layer top = file_layer(fd, status, Link::itself, -1);
    top.identity.device = S_ISBLK(status.st_mode) ? status.st_rdev : status.st_dev;
    top.identity.inode = S_ISBLK(status.st_mode) ? 0 : status.st_ino;
    way.add(top);
    for (std::size_t k = 0; k < way.size(); ++k) {
        const Layer &layer = way[k];
        if (layer.likeness == Likeness::identity && layer.identity.inode == 0) {
            from_device(way, k);
        } else if (!layer.status_known || S_ISREG(layer.status.st_mode) ||
                   S_ISDIR(layer.status.st_mode)) {
            from_file(way, k, writing);
        }
    }
    return way;
}

// A backing file renamed or deleted since is known by its identity alone.
void StorageStack::from_device(Way &way, std::size_t k) {
    const DeviceBeneath &beneath = this->beneath(way[k].identity.device);
    const LoopBacking &backing = beneath.backing;
    const int above = static_cast<int>(k);
    if (beneath.kind == DeviceBeneath::loop && backing.inode != 0) {
        const int fd =
            keep_open(open(backing.name.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        Layer layer = fd >= 0 ? opened_layer(fd, Link::loop, above) : Layer{};
        if (!(layer.identity == Identity{backing.device, backing.inode})) {
            layer = Layer{{backing.device, backing.inode}, Link::loop, above};
        }
        way.add(layer);
    } else if (beneath.kind == DeviceBeneath::loop && backing.device != 0) {
        way.add(Layer{{backing.device, 0}, Link::loop, above}); // over a block device
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
    if (layer.fd < 0) { // known by its identity alone
        if (major(device) != 0) {
            way.add(Layer{{device, 0}, Link::file_system, above});
        }
    } else if (layer.file_system == BTRFS_SUPER_MAGIC) {
        std::array<dev_t, DeviceBeneath::member_capacity> devices{};
        const std::size_t count = btrfs_devices(layer.fd, devices);
        for (std::size_t d = 0; d < count; ++d) {
            way.add(Layer{{devices[d], 0}, Link::file_system, above});
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

// A write goes to the upper layer, after a copy-up; the lower ones only give bytes. A lower file
// counts only where the overlay shows its inode number; where none does, or the layers cannot be
// found, any file that shows what the overlay shows is taken for the file beneath.
void StorageStack::from_overlay(Way &way, std::size_t k, bool writing) {
    const Layer layer = way[k];
    const int above = static_cast<int>(k);
    FileSystem &overlay = file_system(layer.fd, layer.identity.device);
    const OverlayDirectories &directories = layers_of(overlay, layer.fd);
    std::array<char, PATH_MAX> path{};
    if (layer.likeness != Likeness::identity || !directories.all_found ||
        !mount_of(overlay, layer.fd).path_below_root(layer.fd, path)) {
        way.add(shown_layer(layer, above, Likeness::attributes));
        if (!writing) {
            way.add(shown_layer(layer, above, Likeness::inode_number));
        }
        return;
    }
    const int upper =
        directories.upper >= 0 ? keep_open(open_beneath(directories.upper, path.data())) : -1;
    if (upper >= 0 || (writing && directories.upper >= 0)) {
        way.add(opened_layer(upper >= 0 ? upper : directories.upper, Link::layer, above));
    }
    bool found = writing;
    for (std::size_t d = 0; !found && d < directories.lower_count; ++d) {
        const int lower = keep_open(open_beneath(directories.lowers[d], path.data()));
        const Layer beneath = lower >= 0 ? opened_layer(lower, Link::layer, above) : Layer{};
        found = lower >= 0 && S_ISREG(beneath.status.st_mode) &&
                shows_inode_number(layer.identity.inode, beneath.identity.inode);
        if (found) {
            way.add(beneath);
        }
    }
    for (std::size_t d = 0; !found && d < directories.lower_count; ++d) {
        Layer lower = opened_layer(directories.lowers[d], Link::layer, above);
        lower.identity.inode = layer.identity.inode;
        lower.likeness = Likeness::inode_number;
        way.add(lower);
    }
}

// Where the source names no image that holds the erofs's UUID, the image was renamed: any file
// that holds it is taken for it.
void StorageStack::from_mount_source(Way &way, std::size_t k) {
    const Layer &layer = way[k];
    const std::string_view source =
        mount_of(file_system(layer.fd, layer.identity.device), layer.fd).source();
    const std::optional<Uuid> uuid = erofs_uuid(layer.fd, layer.file_system);
    const int above = static_cast<int>(k);
    const int fd = keep_open(open_named(source, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    const Layer image = fd >= 0 ? opened_layer(fd, Link::mount_source, above) : Layer{};
    if (image.status_known && S_ISREG(image.status.st_mode) &&
        (!uuid || holds_erofs_uuid(image.fd, *uuid))) {
        way.add(image);
    } else if (uuid) {
        Layer renamed{{}, Link::mount_source, above, Likeness::erofs_uuid};
        renamed.uuid = *uuid;
        way.add(renamed);
    }
}

Layer StorageStack::file_layer(int fd, const struct stat &status, Link link, int above) {
    Layer layer{{status.st_dev, status.st_ino}, link, above};
    layer.status_known = true;
    layer.status = status;
    layer.file_system = file_system(fd, status.st_dev).type;
    layer.fd = fd;
    return layer;
}

Layer StorageStack::opened_layer(int fd, Link link, int above) {
    const std::optional<struct stat> status = status_of(fd);
    return status ? file_layer(fd, *status, link, above) : Layer{{}, link, above};
}

StorageStack::FileSystem &StorageStack::file_system(int fd, dev_t device) {
    const auto known =
        std::find_if(file_systems_.begin(), file_systems_.begin() + file_system_count_,
                     [&](const FileSystem &asked) { return asked.device == device; });
    if (known != file_systems_.begin() + file_system_count_) {
        return *known;
    }
    FileSystem &asked = file_systems_[std::min(file_system_count_, file_systems_.size() - 1)];
    file_system_count_ = std::min(file_system_count_ + 1, file_systems_.size());
    asked.device = device;
    asked.type = file_system_of(fd);
    asked.mount.reset();
    asked.layers.reset();
    return asked;
}

const Mount &StorageStack::mount_of(FileSystem &file_system, int fd) {
    if (!file_system.mount) {
        file_system.mount.emplace(fd);
    }
    return *file_system.mount;
}

const OverlayDirectories &StorageStack::layers_of(FileSystem &file_system, int fd) {
    if (file_system.layers) {
        return *file_system.layers;
    }
    const OverlayNames names = mount_of(file_system, fd).overlay_layers();
    OverlayDirectories &directories = file_system.layers.emplace();
    const auto open_directory = [&](std::string_view name) {
        const int directory = keep_open(open_named(name, O_RDONLY | O_DIRECTORY));
        directories.all_found = directories.all_found && directory >= 0;
        return directory;
    };
    directories.all_found = mount_of(file_system, fd).known() && names.complete;
    directories.upper = names.upper.empty() ? -1 : open_directory(names.upper);
    for (std::size_t d = 0; d < names.lower_count; ++d) {
        directories.lowers[directories.lower_count++] = open_directory(names.lowers[d]);
    }
    return directories;
}

const DeviceBeneath &StorageStack::beneath(dev_t device) {
    const auto end = device_numbers_.begin() + device_count_;
    const auto known = std::find(device_numbers_.begin(), end, device);
    if (known != end) {
        return devices_[static_cast<std::size_t>(known - device_numbers_.begin())];
    }
    const std::size_t k = std::min(device_count_, devices_.size() - 1);
    device_count_ = std::min(device_count_ + 1, devices_.size());
    device_numbers_[k] = device;
    return devices_[k] = device_beneath(device);
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

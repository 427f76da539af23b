#include "guard/storage_stack.hpp"

#include "system/file_status.hpp"
#include "system/file_systems.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

// Opens a name that a mount gives; a relative one from the tool's directory.
int open_named(std::string_view name, int flags) {
    PathText path;
    if (!path.valid() || name.empty() || name.size() >= PathText::size) {
        return -1;
    }
    std::copy(name.begin(), name.end(), path.data());
    return open(path.data(), flags | O_CLOEXEC);
}

int open_beneath(int directory, const char *name) {
    return openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
}

Layer shown_layer(const Layer &layer, int above, Likeness likeness) {
    Layer shown{{layer.identity.device, layer.identity.inode}, Link::layer, above, likeness};
    shown.status = layer.status;
    return shown;
}

} // namespace

bool shows_inode_number(ino_t shown, ino_t real) {
    for (int layer_bits = 0; layer_bits <= 32; ++layer_bits) {
        if ((shown & (~ino_t{0} >> layer_bits)) == real) {
            return true;
        }
    }
    return false;
}

// One for all the files of a file system, as writing one of them changes no other file there:
// known by the device of its files.
Layer unseen_beneath(const Layers &layers, std::size_t above, Reach reach) {
    const Identity beneath{layers[above].identity.device, 0};
    Layer unseen{beneath, Link::member, static_cast<int>(above), Likeness::unseen};
    unseen.reach = reach;
    return unseen;
}

void Layers::add(const Layer &layer) {
    for (const Layer &before : layers_) {
        if (before.likeness == layer.likeness && before.identity == layer.identity) {
            return;
        }
    }
    layers_.add(layer);
}

StorageStack::~StorageStack() {
    for (const int fd : opened_) {
        close(fd);
    }
    for (FileSystem *file_system : file_systems_) {
        if (file_system->mount != nullptr) {
            file_system->mount->~Mount();
            std::free(file_system->mount);
        }
        file_system->~FileSystem();
        std::free(file_system);
    }
    for (const KnownDevice &device : devices_) {
        device.beneath->~DeviceBeneath();
        std::free(device.beneath);
    }
}

// Devices, FIFOs and sockets keep nothing on the file system their node is on.
Layers StorageStack::walk(int fd, const struct stat &status, bool writing) {
    Layers layers;
    Layer top = file_layer(fd, status, Link::itself, -1);
    top.identity.device = S_ISBLK(status.st_mode) ? status.st_rdev : status.st_dev;
    top.identity.inode = S_ISBLK(status.st_mode) ? 0 : status.st_ino;
    layers.add(top);
    for (std::size_t k = 0; k < layers.size(); ++k) {
        const Layer &layer = layers[k];
        if (layer.likeness != Likeness::identity) {
            continue;
        }
        if (layer.identity.inode == 0) {
            from_device(layers, k);
        } else if (!layer.status_known || S_ISREG(layer.status.st_mode) ||
                   S_ISDIR(layer.status.st_mode)) {
            from_file(layers, k, writing);
        }
    }
    short_of_memory_ = short_of_memory_ || layers.short_of_memory();
    return layers;
}

// A backing file renamed or deleted since is known by its identity alone.
void StorageStack::from_device(Layers &layers, std::size_t k) {
    const DeviceBeneath *beneath = this->beneath(layers[k].identity.device);
    const int above = static_cast<int>(k);
    if (beneath == nullptr || beneath->kind == DeviceBeneath::cannot_be_seen) {
        Layer unseen = unseen_beneath(layers, k);
        const unsigned major_number = beneath != nullptr ? beneath->only_major : 0;
        unseen.reach = major_number != 0 ? Reach::disks_of_major : Reach::anything;
        unseen.major_number = major_number;
        layers.add(unseen);
        return;
    }
    const Identity backing{beneath->backing_device, beneath->backing_inode};
    if (beneath->kind == DeviceBeneath::loop && backing.inode != 0) {
        const int fd = beneath->backing_name.empty()
                           ? -1
                           : keep_open(open(beneath->backing_name.begin(),
                                            O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        Layer layer = fd >= 0 ? opened_layer(fd, Link::loop, above) : Layer{};
        layers.add(layer.identity == backing ? layer : Layer{backing, Link::loop, above});
    } else if (beneath->kind == DeviceBeneath::loop) {
        layers.add(Layer{backing, Link::loop, above}); // over a block device
    }
    const Link link = beneath->kind == DeviceBeneath::partition ? Link::partition : Link::member;
    for (const dev_t member : beneath->devices) {
        layers.add(Layer{{member, 0}, link, above});
    }
}

void StorageStack::from_file(Layers &layers, std::size_t k, bool writing) {
    const Layer layer = layers[k];
    const dev_t device = layer.identity.device;
    const int above = static_cast<int>(k);
    if (layer.fd < 0) { // known by its identity alone: its file system's kind is not known
        layers.add(major(device) != 0 ? Layer{{device, 0}, Link::file_system, above}
                                      : unseen_beneath(layers, k));
        return;
    }
    HeapList<dev_t> devices;
    switch (kind_of(layer.file_system).beneath) {
    case Beneath::device:
        if (major(device) != 0) {
            layers.add(Layer{{device, 0}, Link::file_system, above});
        } else {
            from_mount_source(layers, k);
        }
        return;
    case Beneath::own_devices:
        if (!btrfs_devices(layer.fd, devices)) {
            layers.add(unseen_beneath(layers, k));
        }
        for (const dev_t member : devices) {
            layers.add(Layer{{member, 0}, Link::file_system, above});
        }
        return;
    case Beneath::layers:
        from_overlay(layers, k, writing);
        return;
    case Beneath::daemon: // its server reads and writes wherever it can
        layers.add(shown_layer(layer, above, Likeness::attributes));
        layers.add(unseen_beneath(layers, k, Reach::held_images));
        return;
    case Beneath::nothing:
        return;
    case Beneath::cannot_be_seen:
        layers.add(unseen_beneath(layers, k));
        return;
    }
}

// A write goes to the upper layer, after a copy-up. A read takes the upper file where there is
// one, else the topmost lower file, and a metacopy file's bytes from a file below it. Where the
// layers or the file's place in them cannot be found, what lies beneath cannot be seen.
void StorageStack::from_overlay(Layers &layers, std::size_t k, bool writing) {
    const Layer layer = layers[k];
    const int above = static_cast<int>(k);
    FileSystem *overlay = file_system(layer.fd, layer.identity.device);
    const Mount *mount = overlay != nullptr ? mount_of(*overlay) : nullptr;
    PathText path;
    if (mount == nullptr || !layers_of(*overlay).all_layers_found ||
        !mount->path_below_root(layer.fd, path)) {
        from_hidden_layers(layers, k, writing, mount == nullptr || overlay->metacopy);
        return;
    }
    const int upper =
        overlay->upper >= 0 ? keep_open(open_beneath(overlay->upper, path.data())) : -1;
    if (writing) {
        if (overlay->upper >= 0) {
            layers.add(opened_layer(upper >= 0 ? upper : overlay->upper, Link::layer, above));
        }
        return;
    }
    if (upper >= 0) {
        layers.add(opened_layer(upper, Link::layer, above));
    }
    int metacopy = upper >= 0 && is_metacopy(*overlay, upper) ? upper : -1;
    if ((upper >= 0 && metacopy < 0) || from_lowers(layers, k, *overlay, path.data(), metacopy) ||
        (metacopy >= 0 && from_redirect(layers, k, *overlay, metacopy))) {
        return;
    }
    // Renamed (redirect_dir), or a metacopy's bytes not found: any file of a lower layer's file
    // system that shows the overlay's inode number, or, for a metacopy, what cannot be seen.
    for (const OverlayLayer &lower : overlay->lowers) {
        Layer shown = opened_layer(lower.fd, Link::layer, above);
        shown.identity.inode = layer.identity.inode;
        shown.likeness = Likeness::inode_number;
        layers.add(shown);
    }
    if (overlay->metacopy) {
        layers.add(unseen_beneath(layers, k));
    }
}

// Where the layers or the file's place in them cannot be found: any regular file that shows what
// the overlay shows of it. The upper layer's file system may be anything, and so may a metacopy's
// data.
void StorageStack::from_hidden_layers(Layers &layers, std::size_t k, bool writing, bool metacopy) {
    const Layer layer = layers[k];
    layers.add(shown_layer(layer, static_cast<int>(k), Likeness::attributes));
    Layer shown = shown_layer(layer, static_cast<int>(k), Likeness::inode_number);
    shown.identity.device = 0; // on a file system that cannot be known
    layers.add(shown);
    layers.add(unseen_beneath(layers, k, writing || metacopy ? Reach::anything : Reach::none));
}

// The topmost lower file at path, and below a metacopy one, the file that holds its bytes; false
// where the bytes were not found. metacopy: the last metacopy file found, or -1.
bool StorageStack::from_lowers(Layers &layers, std::size_t k, const FileSystem &overlay,
                               const char *path, int &metacopy) {
    const ino_t shown = layers[k].identity.inode;
    for (const OverlayLayer &directory : overlay.lowers) {
        const int lower = directory.data_only ? -1 : keep_open(open_beneath(directory.fd, path));
        const Layer found =
            lower >= 0 ? opened_layer(lower, Link::layer, static_cast<int>(k)) : Layer{};
        const bool is_metacopy = lower >= 0 && this->is_metacopy(overlay, lower);
        // Without a metacopy above, a file the overlay does not show is hidden by another.
        if (lower < 0 || !S_ISREG(found.status.st_mode) ||
            (metacopy < 0 && !is_metacopy && !shows_inode_number(shown, found.identity.inode))) {
            continue;
        }
        layers.add(found);
        if (!is_metacopy) {
            return true;
        }
        metacopy = lower;
    }
    return false;
}

// A metacopy file names where its bytes are, from a lower or data-only layer's root.
bool StorageStack::from_redirect(Layers &layers, std::size_t k, const FileSystem &overlay,
                                 int metacopy) {
    PathText redirect;
    const char *name =
        overlay.trusted_xattrs ? "trusted.overlay.redirect" : "user.overlay.redirect";
    const ssize_t length =
        redirect.valid() ? fgetxattr(metacopy, name, redirect.data(), PathText::size - 1) : -1;
    if (length <= 1 || redirect.data()[0] != '/') {
        return false;
    }
    redirect.data()[length] = '\0';
    for (const OverlayLayer &directory : overlay.lowers) {
        const int data = keep_open(open_beneath(directory.fd, redirect.data() + 1));
        const Layer found =
            data >= 0 ? opened_layer(data, Link::layer, static_cast<int>(k)) : Layer{};
        if (data >= 0 && S_ISREG(found.status.st_mode) && !is_metacopy(overlay, data)) {
            layers.add(found);
            return true;
        }
    }
    return false;
}

// Where the source names no image that holds the erofs's UUID, the image was renamed: any file
// that holds it is taken for it.
void StorageStack::from_mount_source(Layers &layers, std::size_t k) {
    const Layer layer = layers[k];
    FileSystem *file_system = this->file_system(layer.fd, layer.identity.device);
    const Mount *mount = file_system != nullptr ? mount_of(*file_system) : nullptr;
    const std::optional<Uuid> uuid = erofs_uuid(layer.fd, layer.file_system);
    const int above = static_cast<int>(k);
    const int fd = mount != nullptr
                       ? keep_open(open_named(mount->source(), O_RDONLY | O_NONBLOCK | O_NOCTTY))
                       : -1;
    const Layer image = fd >= 0 ? opened_layer(fd, Link::mount_source, above) : Layer{};
    if (image.status_known && S_ISREG(image.status.st_mode) &&
        (!uuid || erofs_uuid_held(image.fd) == *uuid)) {
        layers.add(image);
    } else if (uuid) {
        Layer renamed{{}, Link::mount_source, above, Likeness::erofs_uuid};
        renamed.uuid = *uuid;
        layers.add(renamed);
    } else {
        layers.add(unseen_beneath(layers, k));
    }
}

Layer StorageStack::file_layer(int fd, const struct stat &status, Link link, int above) {
    Layer layer{{status.st_dev, status.st_ino}, link, above};
    layer.status_known = true;
    layer.status = status;
    const FileSystem *file_system = this->file_system(fd, status.st_dev);
    layer.file_system = file_system != nullptr ? file_system->type : 0;
    layer.fd = fd;
    return layer;
}

Layer StorageStack::opened_layer(int fd, Link link, int above) {
    const std::optional<struct stat> status = status_of(fd);
    return status ? file_layer(fd, *status, link, above) : Layer{{}, link, above};
}

StorageStack::FileSystem *StorageStack::file_system(int fd, dev_t device) {
    for (FileSystem *known : file_systems_) {
        if (known->device == device) {
            return known;
        }
    }
    void *const memory = std::malloc(sizeof(FileSystem));
    if (memory == nullptr || !file_systems_.add(static_cast<FileSystem *>(memory))) {
        std::free(memory);
        short_of_memory_ = true;
        return nullptr;
    }
    return new (memory)
        FileSystem{device, file_system_of(fd), fd, nullptr, false, false, -1, {}, false, false};
}

const Mount *StorageStack::mount_of(FileSystem &file_system) {
    if (file_system.mount == nullptr) {
        void *const memory = std::malloc(sizeof(Mount));
        file_system.mount = memory != nullptr ? new (memory) Mount(file_system.fd) : nullptr;
        short_of_memory_ = short_of_memory_ || memory == nullptr;
    }
    return file_system.mount != nullptr && file_system.mount->known() ? file_system.mount : nullptr;
}

const StorageStack::FileSystem &StorageStack::layers_of(FileSystem &overlay) {
    if (overlay.layers_asked) {
        return overlay;
    }
    overlay.layers_asked = true;
    const Mount *mount = mount_of(overlay);
    const OverlayNames names = mount != nullptr ? mount->overlay_layers() : OverlayNames{};
    bool all_found = mount != nullptr && !names.lowers.short_of_memory();
    const auto open_directory = [&](std::string_view name) {
        const int directory = keep_open(open_named(name, O_RDONLY | O_DIRECTORY));
        all_found = all_found && directory >= 0;
        return directory;
    };
    overlay.upper = names.upper.empty() ? -1 : open_directory(names.upper);
    for (const LowerName &lower : names.lowers) {
        all_found = overlay.lowers.add({open_directory(lower.name), lower.data_only}) && all_found;
    }
    overlay.all_layers_found = all_found;
    overlay.metacopy = mount != nullptr && mount->has_option("metacopy=on");
    overlay.trusted_xattrs = mount == nullptr || !mount->has_option("userxattr");
    return overlay;
}

// Only root reads trusted.* attributes: for others, any file may be a metacopy one.
bool StorageStack::is_metacopy(const FileSystem &overlay, int fd) const {
    if (!overlay.metacopy) {
        return false;
    }
    if (overlay.trusted_xattrs && geteuid() != 0) {
        return true;
    }
    const char *name =
        overlay.trusted_xattrs ? "trusted.overlay.metacopy" : "user.overlay.metacopy";
    return fgetxattr(fd, name, nullptr, 0) >= 0 || errno != ENODATA;
}

const DeviceBeneath *StorageStack::beneath(dev_t device) {
    for (const KnownDevice &known : devices_) {
        if (known.number == device) {
            return known.beneath;
        }
    }
    void *const memory = std::malloc(sizeof(DeviceBeneath));
    auto *const beneath =
        memory != nullptr ? new (memory) DeviceBeneath(device_beneath(device)) : nullptr;
    if (beneath == nullptr || !devices_.add({device, beneath})) {
        if (beneath != nullptr) {
            beneath->~DeviceBeneath();
        }
        std::free(memory);
        short_of_memory_ = true;
        return nullptr;
    }
    return beneath;
}

int StorageStack::keep_open(int fd) {
    if (fd >= 0 && !opened_.add(fd)) {
        close(fd);
        short_of_memory_ = true;
        return -1;
    }
    return fd;
}

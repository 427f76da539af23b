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

// Opens a name that a mount gives; a relative one from the tool's directory.
int open_named(std::string_view name, int flags) {
    PathText path;
    if (!path.valid() || name.empty() || name.size() >= PathText::size) {
        return -1;
    }
    std::copy(name.begin(), name.end(), path.data());
    return open(path.data(), flags | O_CLOEXEC);
}

Layer shown_layer(const Layer &layer, int above, Likeness likeness) {
    Layer shown{{layer.identity.device, layer.identity.inode}, Link::layer, above, likeness};
    shown.status = layer.status;
    return shown;
}

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

// The overlay part of the walk: what a file of overlayfs reads and writes in its layers.
#include "guard/storage_stack.hpp"

#include "system/file_status.hpp"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

namespace {

int open_beneath(int directory, const char *name) {
    return openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

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

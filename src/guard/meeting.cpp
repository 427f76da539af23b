#include "guard/meeting.hpp"

#include "system/file_status.hpp"
#include "system/file_systems.hpp"

#include <sys/sysmacros.h>

namespace {

// Only on a file system of whole seconds could another file show the same change time.
bool shows_attributes_of(const struct stat &shown, const struct stat &file) {
    return shown.st_size == file.st_size && same_time(shown.st_mtim, file.st_mtim) &&
           same_time(shown.st_ctim, file.st_ctim) && shown.st_mode == file.st_mode &&
           shown.st_uid == file.st_uid && shown.st_gid == file.st_gid;
}

// What reads the layer beneath whole. A file system, a partition table and device-mapper keep their
// parts of it apart.
bool reads_all_beneath(Link link) {
    return link == Link::loop || link == Link::mount_source || link == Link::layer;
}

// Whether identity lies beneath layers[k]: then layers[k] cannot lie beneath it.
bool lies_beneath(const Layers &layers, std::size_t k, const Identity &identity) {
    for (std::size_t m = k + 1; m < layers.size(); ++m) {
        int up = layers[m].above;
        while (up > static_cast<int>(k)) {
            up = layers[up].above;
        }
        const bool seen_as_itself =
            layers[m].likeness == Likeness::identity || layers[m].likeness == Likeness::unseen;
        if (up == static_cast<int>(k) && seen_as_itself && layers[m].identity == identity) {
            return true;
        }
    }
    return false;
}

// Whether layers[k] may be what the unseen layer is.
bool may_be(const Layers &layers, std::size_t k, const Layer &unseen) {
    const Layer &layer = layers[k];
    const bool device = layer.likeness == Likeness::identity && layer.identity.inode == 0;
    const bool file = layer.likeness != Likeness::identity || !layer.status_known ||
                      S_ISREG(layer.status.st_mode);
    // Reached from a file of the file system the unseen layer lies beneath, as that layer is:
    // writing one file of a file system changes no other file of it.
    const bool apart =
        layer.above >= 0 && layers[layer.above].identity.device == unseen.identity.device;
    switch (unseen.reach) {
    case Reach::none:
        return false;
    case Reach::held_images:
        return k == 0 && (device || (file && layer.held_elsewhere));
    case Reach::disks_of_major:
        return !apart &&
               ((layer.likeness == Likeness::unseen && layer.reach != Reach::held_images &&
                 !(layer.identity == unseen.identity)) ||
                (device && major(layer.identity.device) == unseen.major_number &&
                 !(layer.identity == unseen.identity) &&
                 !lies_beneath(layers, k, unseen.identity)));
    case Reach::anything:
        if (layer.likeness == Likeness::unseen) {
            return layer.reach != Reach::held_images && !(layer.identity == unseen.identity);
        }
        return !apart && (device || file) && !(layer.identity == unseen.identity) &&
               !lies_beneath(layers, k, unseen.identity);
    }
    return true;
}

std::optional<Meeting> unseen_meeting(const Layers &written, const Layers &read) {
    for (std::size_t i = 0; i < written.size(); ++i) {
        for (std::size_t j = 0; written[i].likeness == Likeness::unseen && j < read.size(); ++j) {
            if (may_be(read, j, written[i])) {
                return Meeting{i, j, true};
            }
        }
    }
    for (std::size_t j = 0; j < read.size(); ++j) {
        for (std::size_t i = 0; read[j].likeness == Likeness::unseen && i < written.size(); ++i) {
            if (may_be(written, i, read[j])) {
                return Meeting{i, j, true};
            }
        }
    }
    return std::nullopt;
}

} // namespace

bool same_layer(const Layer &a, const Layer &b) {
    if (a.likeness == b.likeness &&
        (a.likeness == Likeness::identity || a.likeness == Likeness::unseen)) {
        return a.identity == b.identity;
    }
    if ((a.likeness == Likeness::identity) == (b.likeness == Likeness::identity)) {
        return false;
    }
    const Layer &known = a.likeness == Likeness::identity ? a : b;
    const Layer &shown = a.likeness == Likeness::identity ? b : a;
    const bool stacked = kind_of(known.file_system).beneath == Beneath::layers ||
                         kind_of(known.file_system).beneath == Beneath::daemon;
    if (!known.status_known || !S_ISREG(known.status.st_mode) || stacked) {
        return false;
    }
    switch (shown.likeness) {
    case Likeness::inode_number: // device 0: on any file system
        return (shown.identity.device == 0 || shown.identity.device == known.identity.device) &&
               shows_inode_number(shown.identity.inode, known.identity.inode);
    case Likeness::attributes:
        return shows_attributes_of(shown.status, known.status);
    case Likeness::erofs_uuid:
        return known.uuid_read && known.uuid == shown.uuid;
    case Likeness::identity:
    case Likeness::unseen:
        return false;
    }
    return false;
}

std::optional<Meeting> meeting(const Layers &written, const Layers &read) {
    for (std::size_t i = 0; i < written.size(); ++i) {
        for (std::size_t j = 0; j < read.size(); ++j) {
            if (same_layer(written[i], read[j]) &&
                (i == 0 || j == 0 ||
                 (!(written[written[i].above].identity == read[read[j].above].identity) &&
                  (reads_all_beneath(written[i].link) || reads_all_beneath(read[j].link))))) {
                return Meeting{i, j, false};
            }
        }
    }
    return unseen_meeting(written, read);
}

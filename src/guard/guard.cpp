#include "guard/guard.hpp"

#include "guard/block_devices.hpp"
#include "outputs/failure.hpp"
#include "texts/report.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

namespace {

constexpr std::array<int, 2> standard_descriptors{STDOUT_FILENO, STDERR_FILENO};
constexpr std::array<Standard, 2> standard_outputs{Standard::output, Standard::error};

// The loop device nearest above the log among the input's layers: whose backing file it is.
std::optional<dev_t> loop_above(const Layers &layers, Meeting meeting) {
    for (auto k = static_cast<int>(meeting.read); meeting.written == 0 && k > 0;
         k = layers[k].above) {
        if (layers[k].link == Link::loop) {
            return layers[layers[k].above].identity.device;
        }
    }
    return std::nullopt;
}

// The layer that shows nothing beneath it, as a refusal names it.
struct LayerName {
    explicit LayerName(const Identity &layer) {
        if (layer.inode == 0) {
            std::snprintf(text.data(), text.size(), "device %u:%u", major(layer.device),
                          minor(layer.device));
        } else {
            std::snprintf(text.data(), text.size(), "inode %llu of device %u:%u",
                          static_cast<unsigned long long>(layer.inode), major(layer.device),
                          minor(layer.device));
        }
    }
    std::array<char, 80> text{};
};

const Identity &unseen_layer(const Layers &written, const Layers &read, Meeting meeting) {
    const Layer &layer = written[meeting.written].likeness == Likeness::unseen
                             ? written[meeting.written]
                             : read[meeting.read];
    return layer.identity;
}

// What the rule needs beyond the walk, asked only where the other list has a layer that needs it:
// the UUID each file holds where an erofs image keeps it, and whether another holds the file where
// the list starts open.
void look_closer(Layers &layers, const Layers &other) {
    bool uuids = false;
    bool held = false;
    for (std::size_t k = 0; k < other.size(); ++k) {
        uuids = uuids || other[k].likeness == Likeness::erofs_uuid;
        held =
            held || (other[k].likeness == Likeness::unseen && other[k].reach == Reach::held_images);
    }
    for (std::size_t k = 0; uuids && k < layers.size(); ++k) {
        Layer &layer = layers[k];
        if (!layer.uuid_read && layer.likeness == Likeness::identity && layer.fd >= 0 &&
            S_ISREG(layer.status.st_mode)) {
            layer.uuid_read = true;
            layer.uuid = erofs_uuid_held(layer.fd);
        }
    }
    if (held && layers.size() > 0 && !layers[0].held_asked && layers[0].fd >= 0 &&
        S_ISREG(layers[0].status.st_mode)) {
        layers[0].held_asked = true; // each input is met by up to three outputs
        layers[0].held_elsewhere = held_elsewhere(layers[0].fd);
    }
}

// A block device is never the log: written over, it would destroy whatever the device holds.
bool refused_as_block_device(const char *logfile, const std::optional<struct stat> &log) {
    if (!log || !S_ISBLK(log->st_mode)) {
        return false;
    }
    print_diagnostic(texts::log_is_block_device_refusal(logfile));
    return true;
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

bool log_name_is_block_device(const char *logfile) {
    struct stat named {};
    return refused_as_block_device(logfile, stat(logfile, &named) == 0 ? std::optional(named)
                                                                       : std::nullopt);
}

FileGuard::FileGuard(const std::array<OpenedFile, 2> &inputs)
    : inputs_(inputs), reads_{read_layers(inputs[0]), read_layers(inputs[1])} {}

// An input that failed at its open reads nothing.
Layers FileGuard::read_layers(const OpenedFile &input) {
    return input.fd >= 0 && input.errnum == 0 ? stack_.reads(input.fd, input.status) : Layers();
}

Layers FileGuard::standard_output_layers(int fd) {
    const std::optional<struct stat> out = status_of(fd);
    return out && !S_ISCHR(out->st_mode) ? stack_.writes(fd, *out) : Layers();
}

std::optional<Meeting> FileGuard::meeting_with(Layers &written, std::size_t k) {
    look_closer(written, reads_[k]);
    look_closer(reads_[k], written);
    return meeting(written, reads_[k]);
}

// Where memory ran out, some layers may be missing: nothing is allowed then.
bool FileGuard::short_of_memory() const {
    if (!stack_.short_of_memory()) {
        return false;
    }
    print_diagnostic(texts::memory_failure());
    return true;
}

bool FileGuard::standard_outputs_refused() {
    std::array<Layers, 2> written{standard_output_layers(STDOUT_FILENO),
                                  standard_output_layers(STDERR_FILENO)};
    std::array<bool, 2> read{}; // whether an input reads what standard output, error writes
    std::optional<Text> refusal;
    std::optional<LayerName> unseen;
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        for (std::size_t which = 0; which < written.size(); ++which) {
            const std::optional<Meeting> meets = meeting_with(written[which], k);
            if (meets && !refusal && meets->unseen) {
                unseen.emplace(unseen_layer(written[which], reads_[k], *meets));
                refusal = texts::input_unseen_refusal(inputs_[k].name, standard_outputs[which],
                                                      unseen->text.data());
            } else if (meets && !refusal) {
                refusal =
                    texts::input_is_standard_refusal(inputs_[k].name, standard_outputs[which]);
            }
            read[which] = read[which] || meets.has_value();
        }
    }
    if (refusal) {
        send_diagnostics_to(!read[1] ? STDERR_FILENO : !read[0] ? STDOUT_FILENO : -1);
        print_diagnostic(*refusal);
    }
    return refusal.has_value() || short_of_memory();
}

bool FileGuard::log_refused(const LogFile &log) {
    const std::optional<struct stat> status = status_of(log.fd);
    if (log.existed && refused_as_block_device(log.name, status)) {
        return true;
    }
    Layers written = status ? stack_.writes(log.fd, *status) : Layers();
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        const std::optional<Meeting> meets = meeting_with(written, k);
        if (!meets) {
            continue;
        }
        const std::optional<dev_t> loop =
            log.existed ? loop_above(reads_[k], *meets) : std::nullopt;
        const LayerName unseen(unseen_layer(written, reads_[k], *meets));
        print_diagnostic(
            meets->unseen ? texts::log_unseen_refusal(log.name, inputs_[k].name, unseen.text.data())
            : loop ? texts::log_backs_loop_device_refusal(log.name, device_node_name(*loop).data())
                   : texts::log_refusal(log.name, inputs_[k].name));
        return true;
    }
    if (short_of_memory()) {
        return true;
    }
    if (!log.existed || !status) {
        return false;
    }
    if (log_refused_for_loop_device(log, *status)) {
        return true;
    }
    // Emptying standard output's or standard error's file would erase what the run wrote there.
    for (std::size_t which = 0; which < standard_descriptors.size(); ++which) {
        const std::optional<struct stat> out = status_of(standard_descriptors[which]);
        if (out && S_ISREG(out->st_mode) && same_file(*status, *out)) {
            print_diagnostic(texts::log_is_standard_refusal(log.name, standard_outputs[which]));
            return true;
        }
    }
    return false;
}

// Whatever the inputs: it would write over the device and all it holds. A loop device holds its
// backing file open, so a file nobody else holds backs none; only then are the devices asked.
bool FileGuard::log_refused_for_loop_device(const LogFile &log, const struct stat &status) {
    dev_t loop = 0;
    const int backed =
        S_ISREG(status.st_mode) && held_elsewhere(log.fd) ? loop_device_backed_by(status, loop) : 0;
    if (backed > 0) {
        print_diagnostic(
            texts::log_backs_loop_device_refusal(log.name, device_node_name(loop).data()));
    } else if (backed < 0) {
        print_diagnostic(texts::log_may_back_loop_device_refusal(log.name));
    }
    return backed != 0;
}

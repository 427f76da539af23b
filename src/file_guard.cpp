#include "file_guard.hpp"

#include "block_devices.hpp"
#include "failure.hpp"
#include "report.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

namespace {

constexpr std::array<int, 2> standard_descriptors{STDOUT_FILENO, STDERR_FILENO};
constexpr std::array<Standard, 2> standard_outputs{Standard::output, Standard::error};

// What reads the layer beneath whole. A file system, a partition table and device-mapper keep their
// parts of it apart.
bool reads_whole(Link link) {
    return link == Link::loop || link == Link::mount_source || link == Link::layer;
}

// Where the two ways meet, by the index of the layer on each.
struct Meeting {
    std::size_t written;
    std::size_t read;
};

// Where a write along `written` changes what `read` reads: one way reaches where the other starts,
// or both reach one layer from different ones above it, one of which reads it whole.
std::optional<Meeting> meeting(const Way &written, const Way &read) {
    for (std::size_t i = 0; i < written.size(); ++i) {
        for (std::size_t j = 0; j < read.size(); ++j) {
            if (same_layer(written[i], read[j]) &&
                (i == 0 || j == 0 ||
                 (!(written[written[i].above].identity == read[read[j].above].identity) &&
                  (reads_whole(written[i].link) || reads_whole(read[j].link))))) {
                return Meeting{i, j};
            }
        }
    }
    return std::nullopt;
}

// The loop device nearest above the log on the input's way: whose backing file it is.
std::optional<dev_t> loop_above(const Way &way, Meeting meeting) {
    for (auto k = static_cast<int>(meeting.read); meeting.written == 0 && k > 0; k = way[k].above) {
        if (way[k].link == Link::loop) {
            return way[way[k].above].identity.device;
        }
    }
    return std::nullopt;
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

// The ways are made in place: a copy would touch all of a way's space.
FileGuard::FileGuard(const std::array<OpenedFile, 2> &inputs)
    : inputs_(inputs), reads_{read_way(inputs[0]), read_way(inputs[1])} {}

Way FileGuard::read_way(const OpenedFile &input) {
    return input.fd >= 0 ? stack_.reads(input.fd, input.status) : Way();
}

Way FileGuard::standard_output_way(int fd) {
    const std::optional<struct stat> out = status_of(fd);
    return out && !S_ISCHR(out->st_mode) ? stack_.writes(fd, *out) : Way();
}

bool FileGuard::standard_outputs_refused() {
    const std::array<Way, 2> written{standard_output_way(STDOUT_FILENO),
                                     standard_output_way(STDERR_FILENO)};
    std::array<bool, 2> read{}; // whether an input reads what standard output, error writes
    std::optional<Text> refusal;
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        for (std::size_t which = 0; which < written.size(); ++which) {
            const bool reads_it = meeting(written[which], reads_[k]).has_value();
            if (reads_it && !refusal) {
                refusal =
                    texts::input_is_standard_refusal(inputs_[k].name, standard_outputs[which]);
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

bool FileGuard::log_refused(const LogFile &log) {
    const std::optional<struct stat> status = status_of(log.fd);
    if (refused_as_block_device(log.name, status)) {
        return true;
    }
    const Way written = status ? stack_.writes(log.fd, *status) : Way();
    for (std::size_t k = 0; k < inputs_.size(); ++k) {
        const std::optional<Meeting> meets = meeting(written, reads_[k]);
        if (!meets) {
            continue;
        }
        const std::optional<dev_t> loop = loop_above(reads_[k], *meets);
        print_diagnostic(
            loop ? texts::log_backs_loop_device_refusal(log.name, device_node_name(*loop).data())
                 : texts::log_refusal(log.name, inputs_[k].name));
        return true;
    }
    // Whatever the inputs: it would write over the device and all it holds.
    const dev_t loop = log.existed && status && S_ISREG(status->st_mode) && status->st_size > 0
                           ? loop_device_backed_by(log.fd, *status)
                           : 0;
    if (loop != 0) {
        print_diagnostic(
            texts::log_backs_loop_device_refusal(log.name, device_node_name(loop).data()));
        return true;
    }
    // Emptying standard output's or standard error's file would erase what the run wrote there.
    for (std::size_t which = 0; which < standard_descriptors.size(); ++which) {
        const std::optional<struct stat> out = status_of(standard_descriptors[which]);
        if (status && out && S_ISREG(out->st_mode) && same_file(*status, *out)) {
            print_diagnostic(texts::log_is_standard_refusal(log.name, standard_outputs[which]));
            return true;
        }
    }
    return false;
}

#include "input_pair.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

OpenedInput open_input(const char *name) {
    OpenedInput opened{name, -1, {}, 0};
    do { // an interrupted open is no failure of the file
        opened.fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (opened.fd < 0 && errno == EINTR);
    if (opened.fd < 0 || fstat(opened.fd, &opened.status) != 0) {
        opened.errnum = errno;
    }
    return opened;
}

Input::Input(const OpenedInput &opened, int slot, std::span<char> block) {
    const char *const name = opened.name;
    int fd = opened.fd;
    const struct stat &file = opened.status;
    if (opened.errnum != 0) {
        source_ = &kinds_.emplace<Source>(name, fd, file);
        source_->fail(opened.errnum);
        return;
    }
    if (S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode) || S_ISCHR(file.st_mode)) {
        source_ = &kinds_.emplace<ArrivingInput>(name, fd, file, block);
        return;
    }
    if (S_ISREG(file.st_mode) && file.st_size > 0) {
        MappedInput &mapped = kinds_.emplace<MappedInput>(name, fd, file, slot);
        if (mapped.map_first_window()) {
            source_ = &mapped;
            return;
        }
        fd = mapped.release();
    }
    // Blocking reads from here on; a file that cannot be mapped (files under /proc and /sys tell
    // no true size) is read to its real end.
    fcntl(fd, F_SETFL, 0);
    source_ = &kinds_.emplace<ReadInput>(name, fd, file, block);
}

std::optional<DiskLayout> layout_of(Input &first, Input &second) {
    MappedInput *const a = first.mapped();
    MappedInput *const b = second.mapped();
    if (a == nullptr || b == nullptr || std::min(a->size(), b->size()) <= off_t{window_size} ||
        zeros().empty()) {
        return std::nullopt;
    }
    return DiskLayout({a->descriptor(), b->descriptor()}, a->status(), b->status());
}

InputPair::InputPair(Source &first, Source &second, StopRequest stop)
    : inputs_{&first, &second}, stop_(stop) {}

InputPair::InputPair(MappedInput &first, MappedInput &second, StopRequest stop, Layout &layout)
    : inputs_{&first, &second}, stop_(stop), files_{&first, &second}, layout_(&layout) {}

bool InputPair::fill() {
    for (;;) {
        if (*stop_.requested != 0) {
            return false;
        }
        if (layout_ != nullptr && inputs_[0]->needs_bytes() && inputs_[1]->needs_bytes()) {
            deliver_next_stretch();
        }
        for (Source *input : inputs_) {
            if (input->needs_bytes() && !input->arrives()) {
                input->deliver(); // a file or a disk: the read never waits for long
            }
        }
        if (!read_what_arrived()) {
            return false;
        }
        if (!inputs_[0]->needs_bytes() && !inputs_[1]->needs_bytes()) {
            return true;
        }
    }
}

// Both files stand at the same offset, as two files compared in mismatch mode always do when
// both need bytes. The next stretch ends where either file's data or hole ends, where their
// sharing of blocks begins or ends, or where a window ends. What both must hold alike (a hole in
// both, blocks that both share) gets the same stand-in bytes on both sides: only differences are
// reported, and there are none to find. A hole against data compares the data with zeros.
void InputPair::deliver_next_stretch() {
    MappedInput &first = *files_[0];
    MappedInput &second = *files_[1];
    const off_t offset = first.next_offset();
    if (offset >= std::min(first.size(), second.size()) || offset != second.next_offset()) {
        return; // each delivers as it would alone
    }
    const Segment a = layout_->segment(0, offset);
    const Segment b = layout_->segment(1, offset);
    const Sharing shared = a.hole || b.hole ? Sharing{false, a.end} : layout_->sharing(offset);
    const off_t end = std::min({a.end, b.end, shared.end, first.reach(offset)});
    const auto length = static_cast<std::size_t>(end - offset);
    const std::span<const char> stand_in = zeros().first(length);
    const bool alike = (a.hole && b.hole) || shared.shared;
    if (alike || a.hole) {
        first.show_instead(stand_in);
    } else {
        first.show_file(offset, length);
    }
    if (alike || b.hole) {
        second.show_instead(stand_in);
    } else {
        second.show_file(offset, length);
    }
}

// Reads each arriving input that has room and has something to give; waits only while one of
// them has nothing pending at all. False when a stop was asked for.
bool InputPair::read_what_arrived() {
    std::array<pollfd, 2> watched{};
    std::array<Source *, 2> readers{};
    nfds_t count = 0;
    bool waits = false;
    for (Source *input : inputs_) {
        if (input->arrives() && !input->ended() && input->has_room()) {
            waits = waits || input->needs_bytes();
            readers[count] = input;
            watched[count++] = {input->descriptor(), POLLIN, 0};
        }
    }
    if (count == 0) {
        return true;
    }
    sigset_t outside{};
    sigprocmask(SIG_BLOCK, &stop_.signals, &outside);
    const bool stop = *stop_.requested != 0;
    const timespec now{};
    const int ready = stop ? 0 : ppoll(watched.data(), count, waits ? nullptr : &now, &outside);
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    for (nfds_t i = 0; i < count && ready > 0; ++i) {
        if (watched[i].revents != 0) {
            readers[i]->deliver();
        }
    }
    return !stop;
}

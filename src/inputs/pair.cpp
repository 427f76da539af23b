#include "inputs/pair.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace {

// Zeros to stand in for holes: one window's worth, mapped once and never written, so that every
// page of it is the kernel's one page of zeros. Empty when it cannot be mapped.
const char *zeros = nullptr;
std::span<const char> zero_window() {
    if (zeros == nullptr) {
        void *const mapped =
            mmap(nullptr, window_size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        zeros = mapped == MAP_FAILED ? nullptr : static_cast<const char *>(mapped);
    }
    return zeros == nullptr ? std::span<const char>() : std::span(zeros, window_size);
}

} // namespace

DiskLayout *layout_of(MappedInput *first, MappedInput *second, void *space) {
    if (first == nullptr || second == nullptr ||
        std::min(first->size(), second->size()) <= off_t{window_size} || zero_window().empty()) {
        return nullptr;
    }
    return new (space)
        DiskLayout({first->descriptor(), second->descriptor()}, first->status(), second->status());
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
            if (input->needs_bytes() && !input->read_when_ready()) {
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

// Both files stand at the same offset, as they do in mismatch mode whenever both need bytes. The
// stretch ends where either file's data or hole ends, where sharing begins or ends, or where a
// window ends. A hole in both, or blocks that both share, get the same stand-in bytes on both
// sides: there is no difference to find. A hole against data compares the data with zeros.
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
    const std::span<const char> stand_in = zero_window().first(length);
    const bool alike = (a.hole && b.hole) || shared.shared;
    if (alike || a.hole) {
        first.deliver_equal(stand_in);
    } else {
        first.deliver_file(offset, length);
    }
    if (alike || b.hole) {
        second.deliver_equal(stand_in);
    } else {
        second.deliver_file(offset, length);
    }
}

// Reads each arriving input that has space left and has something to give; waits only while one of
// them has nothing pending at all. False when a stop was asked for.
bool InputPair::read_what_arrived() {
    std::array<pollfd, 2> watched{};
    std::array<Source *, 2> readers{};
    nfds_t count = 0;
    bool waits = false;
    for (Source *input : inputs_) {
        if (input->read_when_ready() && !input->ended() && input->has_space()) {
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
    const timespec no_wait{};
    const int ready = stop ? 0 : ppoll(watched.data(), count, waits ? nullptr : &no_wait, &outside);
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    for (nfds_t i = 0; i < count && ready > 0; ++i) {
        if (watched[i].revents != 0) {
            readers[i]->deliver();
        }
    }
    return !stop;
}

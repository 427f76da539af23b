#include "inputs/mapped.hpp"

#include "system/file_status.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace {

// The fault handler replaces a whole page, and some kernels have pages of 64 KiB.
const std::size_t page = page_size();
constexpr std::size_t no_cut = std::numeric_limits<std::size_t>::max();

// The window's bytes in whole pages, and one page more to probe past them (see WindowSlot).
std::size_t mapping_length(std::size_t length) { return (length + page - 1) / page * page + page; }

// Each input's window as the SIGBUS handler sees it, and from where its bytes are no longer the
// file's. One page more is mapped past them: touching the page after a byte tells whether the
// file still reaches there.
struct WindowSlot {
    std::atomic<const char *> base{nullptr};
    std::atomic<std::size_t> mapped{0};
    std::atomic<std::size_t> length{0};
    std::atomic<off_t> offset{0};
    std::atomic<int> fd{-1};
    std::atomic<std::size_t> cut{no_cut};
};
std::array<WindowSlot, 2> windows;

// How many of count bytes from offset on the file still holds: all, where that cannot be known.
std::size_t still_held(int fd, off_t offset, std::size_t count) {
    const std::optional<off_t> size = file_size(fd);
    return size ? std::min(count, static_cast<std::size_t>(std::max(*size - offset, off_t{0})))
                : count;
}

// From cut on, or from the file's end now if sooner.
void note_cut(WindowSlot &slot, std::size_t cut) {
    cut = still_held(slot.fd.load(std::memory_order_relaxed),
                     slot.offset.load(std::memory_order_relaxed), cut);
    if (cut < slot.length.load(std::memory_order_relaxed)) {
        slot.cut.store(std::min(slot.cut.load(std::memory_order_relaxed), cut),
                       std::memory_order_relaxed);
    }
}

// A faulting page of a window is replaced by zeros and the fault noted, for the run to report. A
// fault anywhere else is a real crash, and is let happen.
void on_fault(int, siginfo_t *info, void *) {
    auto *const address = static_cast<char *>(info->si_addr);
    // A SIGBUS sent by kill (si_code SI_USER and the like) carries no address.
    for (WindowSlot &slot : info->si_code > 0 ? std::span(windows) : std::span<WindowSlot>()) {
        const char *const base = slot.base.load(std::memory_order_relaxed);
        const auto at =
            reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(base);
        if (base == nullptr || at >= slot.mapped.load(std::memory_order_relaxed)) {
            continue;
        }
        char *const faulted = address - at % page; // windows start on a page
        if (mmap(faulted, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
            MAP_FAILED) {
            break;
        }
        note_cut(slot, at - at % page);
        return;
    }
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS); // a fault is raised again on return, but a SIGBUS sent by kill is not
}

} // namespace

void handle_window_faults() {
    struct sigaction action {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

MappedInput::MappedInput(const char *name, int fd, const struct stat &opened, int slot)
    : Source(name, fd, opened), slot_(slot) {}

MappedInput::~MappedInput() { unmap(); }

bool MappedInput::map_first_window() {
    map_window(0);
    return window_ != nullptr;
}

int MappedInput::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

off_t MappedInput::reach(off_t offset) const {
    return offset - offset % static_cast<off_t>(window_size) + static_cast<off_t>(window_size);
}

void MappedInput::deliver_file(off_t offset, std::size_t length) {
    if (offset >= size()) { // what is beyond the size at the open is not compared
        ended_ = true;
        return;
    }
    if (window_ == nullptr || offset < window_offset_ ||
        offset >= window_offset_ + static_cast<off_t>(window_length_)) {
        map_window(offset);
        if (window_ == nullptr) {
            fail(errno);
            return;
        }
    }
    const off_t end = std::min(offset + static_cast<off_t>(length),
                               window_offset_ + static_cast<off_t>(window_length_));
    begin_ = window_ + (offset - window_offset_);
    end_ = window_ + (end - window_offset_);
    next_ = end;
    delivering_window_ = true;
}

void MappedInput::deliver_equal(std::span<const char> bytes) {
    begin_ = bytes.data();
    end_ = bytes.data() + bytes.size();
    next_ += static_cast<off_t>(bytes.size());
    delivering_window_ = false;
}

std::size_t MappedInput::before_cut(std::size_t upto) {
    if (upto == 0) {
        return upto;
    }
    if (!delivering_window_) { // bytes that stand in for the file's: as far as it still reaches
        return still_held(fd_, next_ - (end_ - begin_), upto);
    }
    // Touch the page after the last of these bytes where the bytes delivered reach it: it faults
    // past a cut. Beyond them the size is looked at instead: a hole or shared blocks may begin
    // there, and touching them would read them (on tmpfs, fill the hole). On every call: the file
    // can be cut at any time.
    const char *const last = begin_ + upto - 1;
    const char *const probe = last - (last - window_) % static_cast<std::ptrdiff_t>(page) + page;
    if (probe < end_) {
        static_cast<void>(*static_cast<const volatile char *>(probe));
    } else {
        note_cut(windows[slot_], no_cut);
    }
    const std::size_t cut = windows[slot_].cut.load(std::memory_order_relaxed);
    const auto compared = static_cast<std::size_t>(begin_ - window_);
    return cut == no_cut ? upto : std::min(upto, cut - std::min(cut, compared));
}

void MappedInput::close() {
    if (window_ != nullptr && windows[slot_].cut.load() != no_cut) {
        report_cut();
    }
    unmap();
    Source::close();
}

void MappedInput::map_window(off_t offset) {
    unmap();
    const off_t start = reach(offset) - static_cast<off_t>(window_size);
    const std::size_t length = std::min(window_size, static_cast<std::size_t>(size() - start));
    const std::size_t mapped = mapping_length(length);
    void *const window = mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd_, start);
    if (window == MAP_FAILED) {
        return;
    }
    madvise(window, length, MADV_SEQUENTIAL); // read ahead of the faults, from a cold cache
    window_ = static_cast<const char *>(window);
    window_offset_ = start;
    window_length_ = length;
    WindowSlot &slot = windows[slot_];
    slot.cut.store(no_cut);
    slot.fd.store(fd_);
    slot.offset.store(start);
    slot.length.store(length);
    slot.mapped.store(mapped);
    slot.base.store(window_);
}

void MappedInput::unmap() {
    if (window_ == nullptr) {
        return;
    }
    WindowSlot &slot = windows[slot_];
    slot.base.store(nullptr);
    slot.mapped.store(0);
    munmap(const_cast<char *>(window_), mapping_length(window_length_));
    window_ = nullptr;
    delivering_window_ = false;
    begin_ = end_ = nullptr;
}

// A window faulted: the file is shorter than at its open, or its bytes could not be read.
void MappedInput::report_cut() {
    const off_t at = window_offset_ + static_cast<off_t>(windows[slot_].cut.load());
    if (still_held(fd_, at, 1) == 0) {
        failure_.record_change();
        return;
    }
    char byte = 0;
    const ssize_t got = pread(fd_, &byte, 1, at);
    fail(got < 0 ? errno : EIO);
}

#include "input_reader.hpp"

#include "report.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr std::size_t page = 4096;
constexpr std::size_t whole = Input::whole;

// The mapped window of each input, as the SIGBUS handler sees it, and the offset in it of the
// first page that faulted (whole when none did).
struct WindowSlot {
    std::atomic<const char *> base{nullptr};
    std::atomic<std::size_t> length{0};
    std::atomic<std::size_t> cut{whole};
};
std::array<WindowSlot, 2> windows;

// A page of a mapped window that faults (the file was cut short under it, or the disk failed) is
// replaced by a page of zeros, so the comparison goes on, and the fault is noted; the bytes from
// that page on are not reported. A fault anywhere else is a real crash, and is let happen.
void on_fault(int, siginfo_t *info, void *) {
    auto *const address = static_cast<char *>(info->si_addr);
    for (WindowSlot &slot : windows) {
        const char *const base = slot.base.load(std::memory_order_relaxed);
        const auto offset =
            reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(base);
        if (base != nullptr && offset < slot.length.load(std::memory_order_relaxed)) {
            char *const faulted = address - offset % page; // windows start on a page
            void *zeros =
                mmap(faulted, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
            if (zeros != MAP_FAILED) {
                const std::size_t cut = offset - offset % page;
                slot.cut.store(std::min(slot.cut.load(std::memory_order_relaxed), cut),
                               std::memory_order_relaxed);
                return;
            }
        }
    }
    signal(SIGBUS, SIG_DFL);
}

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

void survive_cut_windows() {
    struct sigaction action {};
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

Input::Input(const char *name, int slot, std::span<char> block)
    : name_(name), slot_(slot), block_(block), begin_(block.data()), end_(block.data()) {}

Input::~Input() {
    unmap();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void Input::open() {
    fd_ = ::open(name_, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat file {};
    if (fd_ < 0 || fstat(fd_, &file) != 0) {
        fail(errno);
        return;
    }
    regular_ = S_ISREG(file.st_mode);
    size_ = file.st_size;
    modified_ = file.st_mtim;
    if (S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode) || S_ISCHR(file.st_mode)) {
        kind_ = Kind::arriving;
        return;
    }
    if (regular_ && size_ > 0) {
        map_next_window();
        if (window_ != nullptr) {
            kind_ = Kind::mapped;
            return;
        }
    }
    // Blocking reads from here on; a file that cannot be mapped (files under /proc and /sys tell
    // no true size) is read to its real end.
    fcntl(fd_, F_SETFL, 0);
    kind_ = Kind::read;
}

void Input::close() {
    if (cut_ != nullptr && cut_->load() != whole) {
        report_cut();
    }
    unmap();
    struct stat now {};
    if (regular_ && failure_ == 0 && fstat(fd_, &now) == 0 &&
        (now.st_size != size_ || !same_time(now.st_mtim, modified_))) {
        write_changed_file(name_);
        failure_ = EIO;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool Input::has_room() const {
    return kind_ == Kind::mapped ? begin_ == end_
                                 : begin_ != block_.data() || end_ != block_.data() + block_.size();
}

void Input::read_more() {
    if (kind_ == Kind::mapped) {
        map_next_window();
        return;
    }
    if (begin_ == end_) {
        begin_ = end_ = block_.data();
    } else if (end_ == block_.data() + block_.size()) { // what is kept moves to the front
        const auto kept = static_cast<std::size_t>(end_ - begin_);
        std::memmove(block_.data(), begin_, kept);
        begin_ = block_.data();
        end_ = begin_ + kept;
    }
    char *const room = block_.data() + (end_ - block_.data());
    const ssize_t got =
        ::read(fd_, room, static_cast<std::size_t>(block_.data() + block_.size() - room));
    if (got > 0) {
        end_ += got;
    } else if (got == 0) {
        ended_ = true;
    } else if (errno != EINTR && errno != EAGAIN) {
        fail(errno);
    }
}

void Input::map_next_window() {
    const off_t next = window_ == nullptr ? 0 : window_offset_ + static_cast<off_t>(window_length_);
    unmap();
    if (next >= size_) { // what is beyond the size at the open is not compared
        ended_ = true;
        return;
    }
    const std::size_t length = std::min(window_size, static_cast<std::size_t>(size_ - next));
    // MAP_POPULATE measured slower than letting the faults map the pages as they are reached.
    void *mapped = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd_, next);
    if (mapped == MAP_FAILED) {
        if (next > 0) { // the first window tells whether the file can be mapped at all
            fail(errno);
        }
        return;
    }
    madvise(mapped, length, MADV_SEQUENTIAL); // read ahead of the faults, from a cold cache
    window_ = static_cast<const char *>(mapped);
    window_length_ = length;
    window_offset_ = next;
    begin_ = window_;
    end_ = window_ + length;
    WindowSlot &slot = windows[slot_];
    slot.cut.store(whole);
    slot.length.store(length);
    slot.base.store(window_);
    cut_ = &slot.cut;
}

void Input::unmap() {
    if (window_ == nullptr) {
        return;
    }
    WindowSlot &slot = windows[slot_];
    slot.base.store(nullptr);
    slot.length.store(0);
    munmap(const_cast<char *>(window_), window_length_);
    window_ = nullptr;
    cut_ = nullptr;
    begin_ = end_ = block_.data();
}

// A window faulted: the file is shorter than at its open, or its bytes could not be read.
void Input::report_cut() {
    const off_t at = window_offset_ + static_cast<off_t>(cut_->load());
    struct stat now {};
    if (fstat(fd_, &now) == 0 && now.st_size <= at) {
        write_changed_file(name_);
        failure_ = EIO;
        return;
    }
    char byte = 0;
    const ssize_t got = pread(fd_, &byte, 1, at);
    fail(got < 0 ? errno : EIO);
}

void Input::fail(int errnum) {
    ended_ = true;
    if (failure_ == 0) {
        failure_ = errnum;
        write_failure(name_, errnum);
    }
}

InputPair::InputPair(Input &first, Input &second, StopRequest stop)
    : inputs_{&first, &second}, stop_(stop) {}

bool InputPair::fill() {
    for (;;) {
        if (*stop_.requested != 0) {
            return false;
        }
        for (Input *input : inputs_) {
            if (input->needs_bytes() && !input->arrives()) {
                input->read_more(); // a file or a disk: the read never waits for long
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

// Reads each arriving input that has room and has something to give; waits only while one of
// them has nothing pending at all. False when a stop was asked for.
bool InputPair::read_what_arrived() {
    std::array<pollfd, 2> watched{};
    std::array<Input *, 2> readers{};
    nfds_t count = 0;
    bool waits = false;
    for (Input *input : inputs_) {
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
            readers[i]->read_more();
        }
    }
    return !stop;
}

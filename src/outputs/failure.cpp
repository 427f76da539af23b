#include "outputs/failure.hpp"

#include "system/stop_signals.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace {

// Writes to a non-blocking output that is full for now wait until it takes more, or until a stop
// comes: the stop signals are let in only while ppoll waits, so that none slips in unseen before
// it. False where a stop is pending.
[[gnu::cold]] bool wait_until_writable(int fd) {
    sigset_t outside{};
    sigprocmask(SIG_BLOCK, &stop_signals(), &outside);
    pollfd ready{fd, POLLOUT, 0};
    const bool stop = stop_signal() != 0;
    if (!stop) {
        ppoll(&ready, 1, nullptr, &outside);
    }
    sigprocmask(SIG_SETMASK, &outside, nullptr);
    return !stop;
}

// Where diagnostics go.
int diagnostics = STDERR_FILENO;

} // namespace

int write_pieces(int fd, std::span<iovec> pieces) {
    for (;;) {
        while (!pieces.empty() && pieces[0].iov_len == 0) {
            pieces = pieces.subspan(1);
        }
        if (pieces.empty()) {
            return 0;
        }
        const ssize_t count = pieces.size() == 1
                                  ? ::write(fd, pieces[0].iov_base, pieces[0].iov_len)
                                  : ::writev(fd, pieces.data(), static_cast<int>(pieces.size()));
        if (count < 0 && errno == EAGAIN) {
            if (!wait_until_writable(fd)) {
                return EINTR;
            }
        } else if (count < 0 && (errno != EINTR || stop_signal() != 0)) {
            return errno;
        } else if (count == 0) {
            return EIO; // nothing taken, and no reason given
        }
        for (auto left = static_cast<std::size_t>(std::max(count, ssize_t{0})); left > 0;) {
            const std::size_t taken = std::min(left, pieces[0].iov_len);
            pieces[0].iov_base = static_cast<char *>(pieces[0].iov_base) + taken;
            pieces[0].iov_len -= taken;
            left -= taken;
            pieces = pieces[0].iov_len == 0 ? pieces.subspan(1) : pieces;
        }
    }
}

void print_diagnostic(const Text &diagnostic) {
    std::array<iovec, Text::capacity> pieces{};
    std::size_t count = 0;
    for (const Piece &piece : diagnostic.pieces()) {
        pieces[count++] = {const_cast<char *>(piece.bytes.data()), piece.bytes.size()};
    }
    if (diagnostics >= 0) {
        write_pieces(diagnostics, {pieces.data(), count});
    }
}

void send_diagnostics_to(int fd) { diagnostics = fd; }

void Failure::record(int errnum) {
    if (errnum_ != 0) {
        return;
    }
    errnum_ = errnum;
    print_diagnostic(name_ == nullptr ? texts::standard_output_failure(errnum)
                                      : texts::failure(name_, errnum));
}

void Failure::record_change() {
    if (errnum_ == 0) {
        errnum_ = EIO;
        print_diagnostic(texts::changed_file(name_));
    }
}

#include "run_output.hpp"

#include "file_status.hpp"
#include "stop_signals.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>

namespace {

// Writes to /dev/null need not be composed at all.
bool discards_everything(int fd) {
    const std::optional<struct stat> file = status_of(fd);
    struct stat null {};
    return file && S_ISCHR(file->st_mode) && stat("/dev/null", &null) == 0 &&
           file->st_rdev == null.st_rdev;
}

// Replaces the link at path with its target, seen from where the link stands; false with errno.
bool follow_link(std::span<char> path) {
    std::array<char, PATH_MAX> target{};
    const ssize_t size = readlink(path.data(), target.data(), target.size());
    if (size < 0) {
        return false;
    }
    const char *slash = std::strrchr(path.data(), '/');
    const std::size_t directory = target[0] == '/' || slash == nullptr
                                      ? 0
                                      : static_cast<std::size_t>(slash - path.data()) + 1;
    if (directory + static_cast<std::size_t>(size) >= path.size()) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(path.data() + directory, target.data(), static_cast<std::size_t>(size));
    path[directory + static_cast<std::size_t>(size)] = '\0';
    return true;
}

// Opens the log without emptying it. Where this open made it, also at the end of dangling links,
// made receives the path it was made under; otherwise it is left empty.
int open_log(const char *logfile, std::span<char> made) {
    constexpr int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    constexpr mode_t readable_by_all = 0666; // less the umask, as any new file
    constexpr int most_links = 40;           // as many as the kernel follows in one name
    const std::size_t length = std::strlen(logfile);
    if (length >= made.size()) {
        errno = ENAMETOOLONG;
        made[0] = '\0';
        return -1;
    }
    std::memcpy(made.data(), logfile, length + 1);
    int links = 0;
    for (; links <= most_links; ++links) {
        // Exclusive, so that a file the run makes is known as its own; this fails on any
        // symbolic link.
        const int fd = open(made.data(), flags | O_CREAT | O_EXCL, readable_by_all);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST) {
            break;
        }
        // An existing file is opened as any name leads to it, /proc/self/fd links included.
        const int existing = open(made.data(), flags);
        if (existing >= 0 || errno != ENOENT) {
            made[0] = '\0';
            return existing;
        }
        // A dangling link: the file is made where it points. A name that has gone meanwhile, or
        // that is no link after all, is tried again.
        if (!follow_link(made) && errno != ENOENT && errno != EINVAL) {
            break;
        }
    }
    if (links > most_links) {
        errno = ELOOP;
    }
    made[0] = '\0';
    return -1;
}

} // namespace

OutputFile::OutputFile(const char *name) : name_(name), failure_(name) {
    if (name_ == nullptr) {
        fd_ = STDOUT_FILENO;
        discards_ = discards_everything(fd_);
    }
}

OutputFile::~OutputFile() {
    if (owned_) {
        ::close(fd_);
    }
}

void OutputFile::open_without_emptying() {
    do {
        fd_ = open_log(name_, made_);
    } while (fd_ < 0 && errno == EINTR && stop_signal() == 0);
    created_ = made_[0] != '\0';
    owned_ = fd_ >= 0;
    if (owned_) {
        discards_ = discards_everything(fd_);
    } else if (errno != EINTR) {
        failure_.record(errno);
    }
}

void OutputFile::empty() {
    // ftruncate refuses (EINVAL) what cannot be emptied: a terminal, a pipe, a device. One that a
    // signal interrupts is made again, unless the signal asked to stop.
    int emptied = 0;
    do {
        emptied = owned_ && !created_ ? ftruncate(fd_, 0) : 0;
    } while (emptied != 0 && errno == EINTR && stop_signal() == 0);
    if (emptied != 0 && errno == EINTR) {
        stopped_ = true;
    } else if (emptied != 0 && errno != EINVAL) {
        failure_.record(errno);
    }
}

void OutputFile::remove_if_created() {
    const std::optional<struct stat> opened = status_of(fd_);
    struct stat named {};
    // Only while the path it was made under still leads to it.
    if (created_ && opened && lstat(made_.data(), &named) == 0 && same_file(*opened, named)) {
        unlink(made_.data());
    }
}

void OutputFile::write(const Text &text) {
    for (const Piece &piece : text.pieces()) {
        hold(piece.bytes);
        if (piece.ends_line) {
            flush();
        }
    }
}

void OutputFile::write_line(std::string_view line) {
    if (flush()) {
        write_all(line.data(), line.size());
    }
}

// Text that a failed file still holds is dropped: nothing more reaches it.
bool OutputFile::flush() {
    const std::size_t size = held_size_;
    held_size_ = 0;
    return !failure_.happened() && (size == 0 || write_all(held_.data(), size));
}

void OutputFile::close() {
    flush();
    // Linux releases the descriptor even when close reports EINTR; the data is not lost then.
    if (owned_ && ::close(fd_) != 0 && errno != EINTR) {
        failure_.record(errno);
    }
    owned_ = false;
    fd_ = -1;
}

void OutputFile::hold(std::string_view bytes) {
    if (bytes.size() > held_.size() - held_size_) {
        if (!flush()) {
            return;
        }
        if (bytes.size() >= held_.size()) { // too long to hold: goes out at once
            write_all(bytes.data(), bytes.size());
            return;
        }
    }
    std::memcpy(held_.data() + held_size_, bytes.data(), bytes.size());
    held_size_ += bytes.size();
}

bool OutputFile::write_all(const char *bytes, std::size_t size) {
    if (failure_.happened() || stopped_) {
        return false; // a file that failed takes nothing more, even should it recover
    }
    iovec piece{const_cast<char *>(bytes), size};
    const int errnum = write_whole(fd_, {&piece, 1});
    if (errnum == EINTR) {
        stopped_ = true;
    } else if (errnum != 0) {
        failure_.record(errnum);
    }
    return errnum == 0;
}

#include "outputs/output_file.hpp"

#include "system/file_status.hpp"
#include "system/stop_signals.hpp"

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
    PathText target;
    const ssize_t size = target.valid() ? readlink(path.data(), target.data(), PathText::size) : -1;
    if (size < 0) {
        return false;
    }
    const char *slash = std::strrchr(path.data(), '/');
    const std::size_t directory = target.data()[0] == '/' || slash == nullptr
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

// The directory a new file at path would be made in; the name it would have is past its last
// slash.
int open_directory_of(std::span<char> path) {
    char *const slash = std::strrchr(path.data(), '/');
    if (slash != nullptr && slash[1] == '\0') {
        errno = EISDIR;
        return -1;
    }
    if (slash == nullptr) {
        return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    const char kept = slash == path.data() ? slash[1] : '\0';
    slash[slash == path.data() ? 1 : 0] = '\0';
    const int directory = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    slash[slash == path.data() ? 1 : 0] = slash == path.data() ? kept : '/';
    return directory;
}

// Finds the log without making or emptying anything: an existing file is opened for writing as
// any name leads to it, /proc/self/fd links included; for a new one, also at the end of dangling
// links, its directory is opened and path receives the path it would be made under.
int find_log(const char *logfile, std::span<char> path, bool &is_new) {
    constexpr int most_links = 40; // as many as the kernel follows in one name
    const std::size_t length = std::strlen(logfile);
    is_new = false;
    if (length >= path.size()) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(path.data(), logfile, length + 1);
    for (int links = 0; links <= most_links; ++links) {
        const int existing = open(path.data(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (existing >= 0 || errno != ENOENT) {
            return existing;
        }
        // A dangling link: the file would be made where it points.
        if (follow_link(path)) {
            continue;
        }
        if (errno != EINVAL && errno != ENOENT) {
            return -1;
        }
        is_new = true;
        return open_directory_of(path);
    }
    errno = ELOOP;
    return -1;
}

// Held texts of standard output and of the log, and where the log was made: outside any stack
// frame, as the run has one of each.
std::array<std::array<char, 4096>, 2> held_texts;
std::array<char, PATH_MAX> log_path;

} // namespace

OutputFile::OutputFile(const char *name)
    : name_(name), failure_(name), held_(held_texts[name == nullptr ? 0 : 1]) {
    if (name_ == nullptr) {
        fd_ = STDOUT_FILENO;
        discards_ = discards_everything(fd_);
    }
}

OutputFile::~OutputFile() {
    if (owned_) {
        ::close(fd_);
    }
    if (directory_ >= 0) {
        ::close(directory_);
    }
}

void OutputFile::find() {
    bool is_new = false;
    do {
        fd_ = find_log(name_, log_path, is_new);
    } while (fd_ < 0 && errno == EINTR && stop_signal() == 0);
    created_ = is_new;
    owned_ = fd_ >= 0;
    if (owned_ && !created_) {
        discards_ = discards_everything(fd_);
    } else if (!owned_ && errno != EINTR) {
        failure_.record(errno);
    }
}

void OutputFile::make() {
    if (!created_ || !owned_) {
        return;
    }
    constexpr mode_t readable_by_all = 0666; // less the umask, as any new file
    const char *slash = std::strrchr(log_path.data(), '/');
    int file = -1;
    do { // an interrupted open is no failure of the file, unless a stop interrupted it
        file = openat(fd_, slash != nullptr ? slash + 1 : log_path.data(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, readable_by_all);
    } while (file < 0 && errno == EINTR && stop_signal() == 0);
    directory_ = fd_;
    fd_ = file;
    owned_ = file >= 0;
    if (!owned_ && errno != EINTR) {
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

void OutputFile::remove_if_created() const {
    const std::optional<struct stat> opened = status_of(fd_);
    const char *slash = std::strrchr(log_path.data(), '/');
    const char *made = slash != nullptr ? slash + 1 : log_path.data();
    struct stat named {};
    // Only while the name it was made under still leads to it.
    if (created_ && directory_ >= 0 && opened &&
        fstatat(directory_, made, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(*opened, named)) {
        unlinkat(directory_, made, 0);
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
    const int errnum = write_pieces(fd_, {&piece, 1});
    if (errnum == EINTR) {
        stopped_ = true;
    } else if (errnum != 0) {
        failure_.record(errnum);
    }
    return errnum == 0;
}

#include "inputs/source.hpp"

#include "system/file_status.hpp"

#include <unistd.h>

#include <optional>

namespace {

// Whether the file's bytes may differ from those it had when opened. Every moved change time
// counts: a rewrite whose modification time was put back (touch -r, rsync -t) moves nothing else,
// and a chmod, chown or new link after it would hide it. The one exception is a file that lost its
// last name (removed, or renamed over) and is otherwise as it was: the removal moved its change
// time.
bool bytes_may_differ(const struct stat &closing, const struct stat &opened) {
    const bool as_opened = closing.st_size == opened.st_size &&
                           same_time(closing.st_mtim, opened.st_mtim) &&
                           closing.st_mode == opened.st_mode && closing.st_uid == opened.st_uid &&
                           closing.st_gid == opened.st_gid;
    return !as_opened || (closing.st_nlink != 0 && !same_time(closing.st_ctim, opened.st_ctim));
}

} // namespace

Source::Source(const char *name, int fd, const struct stat &opened)
    : name_(name), fd_(fd), opened_(opened), ended_(fd < 0), failure_(name) {}

Source::~Source() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void Source::close() {
    const std::optional<struct stat> closing = status_of(fd_);
    if (S_ISREG(opened_.st_mode) && !failure_.happened() && closing &&
        bytes_may_differ(*closing, opened_)) {
        failure_.record_change();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void Source::fail(int errnum) {
    ended_ = true;
    failure_.record(errnum);
}

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

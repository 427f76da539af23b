#include "input_source.hpp"

#include <unistd.h>

namespace {

bool same_time(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

Source::Source(const char *name, int fd, const struct stat &opened)
    : name_(name), fd_(fd), opened_(opened), ended_(fd < 0), failure_(name) {}

Source::~Source() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

// The change time too: touch -r or rsync -t can put the modification time back after a write,
// and the change time no one can set.
void Source::close() {
    struct stat now {};
    if (S_ISREG(opened_.st_mode) && !failure_.happened() && fstat(fd_, &now) == 0 &&
        (now.st_size != opened_.st_size || !same_time(now.st_mtim, opened_.st_mtim) ||
         !same_time(now.st_ctim, opened_.st_ctim))) {
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

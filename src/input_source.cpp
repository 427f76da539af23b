#include "input_source.hpp"

#include "file_status.hpp"

#include <unistd.h>

namespace {

// Whether the file's bytes may differ from those it had when opened. The change time catches a
// rewrite whose modification time was put back (touch -r, rsync -t); an unlink, a rename over the
// name, a new link, a chmod or a chown move it too, and show in the link count, mode or owner.
bool bytes_may_differ(const struct stat &now, const struct stat &opened) {
    const bool metadata_moved = now.st_nlink != opened.st_nlink || now.st_mode != opened.st_mode ||
                                now.st_uid != opened.st_uid || now.st_gid != opened.st_gid;
    return now.st_size != opened.st_size || !same_time(now.st_mtim, opened.st_mtim) ||
           (!same_time(now.st_ctim, opened.st_ctim) && !metadata_moved);
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
    struct stat now {};
    if (S_ISREG(opened_.st_mode) && !failure_.happened() && fstat(fd_, &now) == 0 &&
        bytes_may_differ(now, opened_)) {
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

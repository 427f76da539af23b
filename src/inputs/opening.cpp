#include "inputs/opening.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

OpenedFile open_input(const char *name) {
    OpenedFile opened{name, -1, {}, 0};
    do { // an interrupted open is no failure of the file
        opened.fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (opened.fd < 0 && errno == EINTR);
    const std::optional<struct stat> status = status_of(opened.fd);
    opened.status = status.value_or(opened.status);
    opened.errnum = status ? 0 : errno;
    return opened;
}

Input::Input(const OpenedFile &opened, int slot, std::span<char> block) {
    const char *const name = opened.name;
    int fd = opened.fd;
    const struct stat &file = opened.status;
    if (opened.errnum != 0) {
        source_ = &source_of_kind_.emplace<Source>(name, fd, file);
        source_->fail(opened.errnum);
        return;
    }
    if (S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode) || S_ISCHR(file.st_mode)) {
        source_ = &source_of_kind_.emplace<ArrivingInput>(name, fd, file, block);
        return;
    }
    if (S_ISREG(file.st_mode) && file.st_size > 0) {
        MappedInput &mapped = source_of_kind_.emplace<MappedInput>(name, fd, file, slot);
        if (mapped.map_first_window()) {
            source_ = &mapped;
            return;
        }
        fd = mapped.release();
    }
    // Blocking reads from here on; a file that cannot be mapped (files under /proc and /sys tell
    // no true size) is read to its real end.
    fcntl(fd, F_SETFL, 0);
    source_ = &source_of_kind_.emplace<ReadInput>(name, fd, file, block);
}

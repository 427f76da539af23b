#include "inputs/read.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

ReadInput::ReadInput(const char *name, int fd, const struct stat &opened, std::span<char> block)
    : Source(name, fd, opened), block_(block) {
    begin_ = end_ = block_.data();
}

bool ReadInput::has_space() const {
    return begin_ != block_.data() || end_ != block_.data() + block_.size();
}

void ReadInput::deliver() {
    if (begin_ == end_) {
        begin_ = end_ = block_.data();
    } else if (end_ == block_.data() + block_.size()) { // what is kept moves to the front
        const auto kept = static_cast<std::size_t>(end_ - begin_);
        std::memmove(block_.data(), begin_, kept);
        begin_ = block_.data();
        end_ = begin_ + kept;
    }
    char *const free_space = block_.data() + (end_ - block_.data());
    const ssize_t got = ::read(
        fd_, free_space, static_cast<std::size_t>(block_.data() + block_.size() - free_space));
    if (got > 0) {
        end_ += got;
    } else if (got == 0) {
        ended_ = true;
    } else if (errno != EINTR && errno != EAGAIN) {
        fail(errno);
    }
}

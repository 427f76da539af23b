// What an erofs image and its file system tell of each other: the file system's UUID, which the
// image holds, so that an image renamed since its mount is still known.
#pragma once

#include <array>
#include <optional>

using Uuid = std::array<unsigned char, 16>;

// The UUID of the erofs that fd is on (type: its magic number); nothing before Linux 6.5.
std::optional<Uuid> erofs_uuid(int fd, long type);

// What fd's file holds where an erofs image keeps its UUID, zeros where it holds nothing there;
// fd is opened again to be read.
Uuid erofs_uuid_held(int fd);

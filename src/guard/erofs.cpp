#include "guard/erofs.hpp"

#include "system/file_status.hpp"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <unistd.h>

std::optional<Uuid> erofs_uuid(int fd, long type) {
    struct {
        unsigned char length;
        Uuid bytes;
    } uuid{sizeof(Uuid), {}};
    constexpr unsigned long get_fs_uuid = 0x80111500; // FS_IOC_GETFSUUID
    return type == EROFS_SUPER_MAGIC_V1 && ioctl(fd, get_fs_uuid, &uuid) == 0 &&
                   uuid.length == sizeof(Uuid)
               ? std::optional(uuid.bytes)
               : std::nullopt;
}

Uuid erofs_uuid_held(int fd) {
    constexpr off_t erofs_uuid_at = 1024 + 48;
    const int readable =
        open(DescriptorName(fd).text.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    Uuid held{};
    if (pread(readable, held.data(), held.size(), erofs_uuid_at) != 16) {
        held = Uuid{};
    }
    if (readable >= 0) {
        close(readable);
    }
    return held;
}

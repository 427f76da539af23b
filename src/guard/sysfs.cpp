#include "guard/sysfs.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstdio>

SysfsPath::SysfsPath(dev_t device, const char *rest) {
    std::snprintf(text.data(), text.size(), "/sys/dev/block/%u:%u%s", major(device), minor(device),
                  rest);
}

std::string_view sysfs_place(dev_t device, PathText &place) {
    const ssize_t length = place.valid() ? readlink(SysfsPath(device, "").text.data(), place.data(),
                                                    PathText::size - 1)
                                         : -1;
    return {place.data(), static_cast<std::size_t>(length > 0 ? length : 0)};
}

ssize_t read_attribute(int directory, const char *name, char *text, std::size_t size) {
    const int fd = openat(directory, name, O_RDONLY | O_CLOEXEC);
    const ssize_t length = fd >= 0 ? read(fd, text, size - 1) : -1;
    const int errnum = errno;
    if (fd >= 0) {
        close(fd);
    }
    text[length > 0 ? length : 0] = '\0';
    errno = errnum;
    return length;
}

bool read_device_number(int directory, const char *name, dev_t &device) {
    std::array<char, 32> text{};
    unsigned major_number = 0;
    unsigned minor_number = 0;
    if (read_attribute(directory, name, text.data(), text.size()) <= 0 ||
        std::sscanf(text.data(), "%u:%u", &major_number, &minor_number) != 2) {
        return false;
    }
    device = makedev(major_number, minor_number);
    return true;
}

bool devices_listed(const char *directory, HeapList<dev_t> &devices) {
    bool all = true;
    const bool listed = each_entry(
        open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC), [&](int listing, const char *name) {
            std::array<char, NAME_MAX + 8> attribute{};
            std::snprintf(attribute.data(), attribute.size(), "%s/dev", name);
            dev_t device = 0;
            all =
                all && read_device_number(listing, attribute.data(), device) && devices.add(device);
        });
    return listed && all;
}

#include "private_mounts.hpp"

#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// The device nodes and links of /dev, made anew in a tmpfs at copy; the directories under it are
// left empty, but for a fresh instance of devpts for pseudo-terminals.
bool copy_dev(const fs::path &copy) {
    for (const auto &entry : fs::directory_iterator("/dev")) {
        const fs::path target = copy / entry.path().filename();
        struct stat node {};
        if (lstat(entry.path().c_str(), &node) != 0) {
            continue;
        }
        if (S_ISCHR(node.st_mode) || S_ISBLK(node.st_mode)) {
            mknod(target.c_str(), node.st_mode, node.st_rdev);
        } else if (S_ISLNK(node.st_mode)) {
            fs::create_symlink(fs::read_symlink(entry.path()), target);
        } else if (S_ISDIR(node.st_mode)) {
            fs::create_directory(target);
        }
    }
    const fs::path pts = copy / "pts";
    fs::remove(copy / "ptmx");
    fs::create_symlink("pts/ptmx", copy / "ptmx");
    return mount("devpts", pts.c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0;
}

bool enter() {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    std::string place = (fs::temp_directory_path() / "pairscan-dev-XXXXXX").string();
    if (mkdtemp(place.data()) == nullptr) {
        return false;
    }
    const bool moved = mount("tmpfs", place.c_str(), "tmpfs", 0, "mode=0755") == 0 &&
                       copy_dev(place) &&
                       mount(place.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0;
    rmdir(place.c_str()); // the mount point, unless the move failed and it still holds the copy
    return moved;
}

} // namespace

bool enter_private_mounts() {
    static const bool entered = enter();
    return entered;
}

LoopDevice::LoopDevice(const fs::path &image, std::uint32_t flags, std::uint64_t offset) {
    const bool read_only = (flags & LO_FLAGS_READ_ONLY) != 0;
    const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    const int backing = open(image.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | flags;
    config.info.lo_offset = offset;
    // Another process may take the free device first: then the next one.
    for (int tries = 0; tries < 8 && fd_ < 0 && control >= 0 && backing >= 0; ++tries) {
        const int number = ioctl(control, LOOP_CTL_GET_FREE);
        name_ = "/dev/loop" + std::to_string(number);
        mknod(name_.c_str(), S_IFBLK | 0660, makedev(7, static_cast<unsigned>(number)));
        fd_ = number < 0 ? -1 : open(name_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ >= 0 && ioctl(fd_, LOOP_CONFIGURE, &config) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    name_ = fd_ >= 0 ? name_ : "";
    close(control);
    close(backing);
}

LoopDevice::~LoopDevice() {
    if (!mounted_.empty()) {
        umount2(mounted_.c_str(), MNT_DETACH);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool LoopDevice::mount(const fs::path &directory, const char *type, bool read_only,
                       const char *options) {
    const bool mounted = fd_ >= 0 && ::mount(name_.c_str(), directory.c_str(), type,
                                             read_only ? MS_RDONLY : 0, options) == 0;
    mounted_ = mounted ? directory : mounted_;
    return mounted;
}

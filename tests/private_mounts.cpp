#include "private_mounts.hpp"

#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// The device nodes and links of /dev, made anew in a tmpfs at copy; the directories under it are
// left empty, but for a fresh instance of devpts for pseudo-terminals. Loop device nodes are made
// ahead for the devices that losetup or mount may attach.
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
    for (unsigned minor = 0; minor < 64; ++minor) {
        const fs::path loop = copy / ("loop" + std::to_string(minor));
        mknod(loop.c_str(), S_IFBLK | 0660, makedev(7, minor));
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

#include "system/file_systems.hpp"

#include <linux/magic.h>

#include <array>

namespace {

struct Known {
    long magic;
    FileSystemKind kind;
};

// Network file systems, which linux/magic.h does not name.
constexpr long nfs_magic = 0x6969;       // NFS_SUPER_MAGIC
constexpr long smb2_magic = 0xfe534d42;  // SMB2_SUPER_MAGIC
constexpr long cifs_magic = 0xff534d42;  // CIFS_SUPER_MAGIC
constexpr long ninep_magic = 0x01021997; // V9FS_MAGIC
constexpr long ceph_magic = 0x00c36400;  // CEPH_SUPER_MAGIC

// ext2, ext3 and ext4 share one magic number.
constexpr std::array<Known, 32> known{{
    {EXT4_SUPER_MAGIC, {Beneath::device, true}},
    {XFS_SUPER_MAGIC, {Beneath::device, true}},
    {BTRFS_SUPER_MAGIC, {Beneath::own_devices, true}},
    {TMPFS_MAGIC, {Beneath::nothing, true}},
    {OVERLAYFS_SUPER_MAGIC, {Beneath::layers, false}},
    {FUSE_SUPER_MAGIC, {Beneath::daemon, false}},
    {RAMFS_MAGIC, {Beneath::nothing, false}},
    {PROC_SUPER_MAGIC, {Beneath::nothing, false}},
    {SYSFS_MAGIC, {Beneath::nothing, false}},
    {PIPEFS_MAGIC, {Beneath::nothing, false}},
    {SOCKFS_MAGIC, {Beneath::nothing, false}},
    {DEVPTS_SUPER_MAGIC, {Beneath::nothing, false}},
    {CGROUP2_SUPER_MAGIC, {Beneath::nothing, false}},
    {CGROUP_SUPER_MAGIC, {Beneath::nothing, false}},
    {ANON_INODE_FS_MAGIC, {Beneath::nothing, false}},
    {DEBUGFS_MAGIC, {Beneath::nothing, false}},
    {TRACEFS_MAGIC, {Beneath::nothing, false}},
    {SECURITYFS_MAGIC, {Beneath::nothing, false}},
    {BPF_FS_MAGIC, {Beneath::nothing, false}},
    {HUGETLBFS_MAGIC, {Beneath::nothing, false}},
    {NSFS_MAGIC, {Beneath::nothing, false}},
    {BINFMTFS_MAGIC, {Beneath::nothing, false}},
    {EFIVARFS_MAGIC, {Beneath::nothing, false}},
    {PSTOREFS_MAGIC, {Beneath::nothing, false}},
    {AUTOFS_SUPER_MAGIC, {Beneath::nothing, false}},
    {SELINUX_MAGIC, {Beneath::nothing, false}},
    {SECRETMEM_MAGIC, {Beneath::nothing, false}},
    {nfs_magic, {Beneath::cannot_be_seen, false}},
    {smb2_magic, {Beneath::cannot_be_seen, false}},
    {cifs_magic, {Beneath::cannot_be_seen, false}},
    {ninep_magic, {Beneath::cannot_be_seen, false}},
    {ceph_magic, {Beneath::cannot_be_seen, false}},
}};

} // namespace

FileSystemKind kind_of(long magic) {
    for (const Known &entry : known) {
        if (entry.magic == magic) {
            return entry.kind;
        }
    }
    return {Beneath::device, false};
}

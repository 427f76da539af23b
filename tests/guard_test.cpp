// Stacks of block devices, built in a mount namespace of the test's own: images on loop devices,
// a loop device over a file of another one's file system, an offset, a partition,
// device-mapper, btrfs of one device, of twenty and of seventeen each inside a file system of its
// own. Each run is made in both directions, as in storage_stacks.hpp.

#include "expected_texts.hpp"
#include "private_mounts.hpp"
#include "storage_stacks.hpp"

#include <gtest/gtest.h>

using namespace expect;

namespace {

// A btrfs mounted on bt over count loop devices of images of 16 MiB, each (nested) inside an ext2
// on a loop device of its own.
std::vector<std::string> btrfs_members(int count, bool nested) {
    std::vector<std::string> lines{images + "mkdir bt"};
    std::string members;
    for (int i = 1, loops = 0; i <= count; ++i) {
        const std::string outer = "o" + std::to_string(i);
        const std::string image = nested ? outer + "/m.img" : "m" + std::to_string(i) + ".img";
        if (nested) {
            std::string mount = "mount $L" + std::to_string(++loops);
            mount.append(" ").append(outer);
            std::string made = "mke2fs -q -F -t ext2 " + outer;
            made.append(".img 24M && mkdir ").append(outer);
            lines.insert(lines.end(), {made, "attach " + outer + ".img", mount});
        }
        lines.insert(lines.end(), {"truncate -s 16M " + image, "attach " + image});
        members.append(" $L").append(std::to_string(++loops));
    }
    std::string made = "mkfs.btrfs -q -f -M" + members;
    made.append(" && mount").append(members.substr(0, members.find(' ', 1)));
    lines.push_back(made.append(" bt && cp files/a bt/a"));
    return lines;
}

const Stack stacks[] = {
    {"image on a loop device",
     {images + "mkdir mnt && mke2fs -q -F -t ext2 -d files image 2M && ln image image_link && cp "
               "image gone && ln gone kept && cp image \"$(printf 'new\\nline')\" && chmod a+rw *",
      "attach image",
      "mount $L1 mnt && touch mnt/out && mknod alias b $(stat -c '%Hr %Lr' $L1) && ln -s f2 L",
      "attach gone", "rm gone", "attach new\nline", "attach image", "printf x >small && mkdir bmnt",
      "attach small", "bindfs mnt bmnt"},
     {{{"image", "f", "$L1"}, "", block("$L1")},
      {{"f", "image", "L"}, "", expect::log_refusal("L", "image"), 0, "PAIRSCAN_SWAP=L:image"},
      {{"f", "f", "L"}, "", block("L"), 0, "PAIRSCAN_SWAP=L:$L1"},
      {{"$L1", "f", "alias"}, "", block("alias")},
      {{"f", "f", "$L1"}, "", block("$L1"), nobody},
      {{"$L1", "f", "image"}, "", backs("image", "$L1")},
      {{"f", "$L1", "image_link"}, "", backs("image_link", "$L1")},
      {{"mnt/a", "mnt/b", "image"}, "", backs("image", "$L1")},
      {{"$L1", "f", "image"},
       "",
       "pairscan: $L1: Permission denied\n" + backs("image", "$L1"),
       nobody},
      {{"$L2", "f", "kept"}, "", backs("kept", "$L2")},
      {{"f", "f", "new\nline"}, "", backs("new\nline", "$L3"), nobody},
      {{"image", "f", "mnt/l.log"}, "", expect::log_refusal("mnt/l.log", "image")},
      {{"image", "f", "l"}, ">>mnt/out", reads("image")},
      {{"$L1", "f", "l", "v"}, "image", reads("$L1")},
      {{"$L1", "f", "l"}, ">>$L1", reads("$L1")},
      {{"mnt/a", "mnt/b", "l"}, "$L1", reads("mnt/a")},
      {{"mnt/a", "mnt/b", "l"}, ">>image", reads("mnt/a")},
      {{"mnt/a", "mnt/b", "l"}, ">>image", reads("mnt/a"), nobody},
      {{"$L1", "f", "mnt/l2"}, "", expect::log_refusal("mnt/l2", "$L1")},
      {{"mnt/a", "mnt/b", "l"}, "$L4", reads("mnt/a")},
      {{"mnt/a", "mnt/b", "mnt/l"}, "", ""},
      {{"mnt/a", "mnt/b", "image"}, "", backs("image", "$L1"), 0, "", "/sys"},
      {{"mnt/a", "mnt/b", "l"}, ">>image", reads("mnt/a"), 0, "", "/sys /proc"},
      {{"mnt/a", "mnt/b", "image"}, "", backs("image", "$L1"), 0, "", "/sys /proc"},
      {{"f", "f", "everyday"}, "", "", 0, "", "/sys /proc"},
      {{"f", "f", "small"}, "", backs("small", "$L5")},
      {{"image", "f", "bmnt/new.log"}, "", unseen_log("bmnt/new.log", "image", "$D(bmnt)")},
      {{"image", "f", "l"}, ">>bmnt/out", unseen_out("image", "$D(bmnt)")},
      {{"bmnt/a", "f", "l"}, "image", unseen_out("bmnt/a", "$D(bmnt)")},
      {{"bmnt/a", "f", "bmnt/l"}, "", ""}}},
    {"loop device over a file of another one",
     {images + "mkdir outer inner inner_files && mke2fs -q -F -t ext2 -d files "
               "inner_files/inner.img 2M && mke2fs -q -F -t ext2 -d inner_files outer.img 8M",
      "attach outer.img", "mount $L1 outer", "attach outer/inner.img", "mount $L2 inner",
      "attach $L1"},
     {{{"inner/a", "f", "l"}, "outer.img", reads("inner/a")},
      {{"$L2", "f", "l"}, ">>outer.img", reads("$L2")},
      {{"$L3", "f", "l"}, "outer.img", reads("$L3")},
      {{"outer.img", "f", "inner/l"}, "", expect::log_refusal("inner/l", "outer.img")},
      {{"$L3", "f", "outer/l"}, "", expect::log_refusal("outer/l", "$L3")}}},
    {"loop device with an offset",
     {images + "mkdir mnt && mke2fs -q -F -t ext2 -d files -E offset=1048576 offset.img 2M",
      "attach offset.img 1048576", "mount $L1 mnt"},
     {{{"mnt/a", "f", "l"}, ">>offset.img", reads("mnt/a")},
      {{"offset.img", "f", "mnt/l"}, "", expect::log_refusal("mnt/l", "offset.img")},
      {{"f", "f", "offset.img"}, "", backs("offset.img", "$L1")}}},
    {"partition of a loop device",
     {images + "mkdir mnt && truncate -s 4M part.img && mke2fs -q -F -t ext2 -d files -E "
               "offset=1048576 part.img 2M",
      "attach-parts part.img", "addpart $L1 1 2048 4096",
      "n=$(basename $L1) && mknod $L1p1 b $(tr : ' ' </sys/block/$n/${n}p1/dev) && mount $L1p1 "
      "mnt"},
     {{{"mnt/a", "f", "l"}, ">>part.img", reads("mnt/a")},
      {{"$L1p1", "f", "l"}, "part.img", reads("$L1p1")},
      {{"part.img", "f", "mnt/l"}, "", expect::log_refusal("mnt/l", "part.img")}}},
    {"device-mapper over a loop device",
     {images + "mkdir mnt && mke2fs -q -F -t ext2 -d files dm.img 2M", "attach dm.img",
      "n=pairscan-$(basename $(dirname $PWD)) && dmsetup create --noudevsync $n --table '0 4096 "
      "linear $L1 0' && dmsetup mknodes && (mount /dev/mapper/$n mnt; m=$?; dmsetup remove "
      "--deferred $n; exit $m)"},
     {{{"mnt/a", "f", "l"}, ">>dm.img", reads("mnt/a")},
      {{"dm.img", "f", "mnt/l"}, "", expect::log_refusal("mnt/l", "dm.img")}}},
    {"btrfs on a loop device",
     {images + "mkdir mnt && truncate -s 128M btrfs.img && mkfs.btrfs -q btrfs.img",
      "attach btrfs.img", "mount $L1 mnt && cp files/a mnt/a"},
     {{{"mnt/a", "f", "l"}, "btrfs.img", reads("mnt/a")},
      {{"btrfs.img", "f", "mnt/l"}, "", expect::log_refusal("mnt/l", "btrfs.img")}}},
    {"btrfs of twenty loop devices",
     btrfs_members(20, false),
     {{{"bt/a", "f", "l"}, "m20.img", reads("bt/a")},
      {{"m17.img", "f", "bt/l"}, "", expect::log_refusal("bt/l", "m17.img")}}},
    {"btrfs of seventeen loop devices, each inside an ext2 of a loop device of its own",
     btrfs_members(17, true),
     {{{"bt/a", "f", "l"}, "o17.img", reads("bt/a")},
      {{"bt/a", "f", "l"}, "o1.img", reads("bt/a")}}},
};

} // namespace

TEST(Guard, BlockDeviceStacks) {
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    check_stacks(stacks);
}

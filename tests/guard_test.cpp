// Stacks of storage, built in a mount namespace of the test's own: images on loop devices, a loop
// device over a file of another one's file system, an offset, a partition, device-mapper, btrfs
// of one device, of twenty and of seventeen each inside a file system of its own; erofs mounted
// straight from a file, from a long name and renamed since, FUSE, and overlays of every kind
// (copied up, xino, metacopy, userxattr, over another overlay, named from another directory, ten
// lower layers, a data-only layer). Each run is made in both directions, as storage_stacks.hpp
// says.

#include "expected_texts.hpp"
#include "private_mounts.hpp"
#include "storage_stacks.hpp"

#include <gtest/gtest.h>

using namespace expect;

namespace {

// A name that mountinfo prints in more than 4,095 bytes, on a line of more than 8,191.
const std::string deep = [] {
    std::string path = "sp";
    for (int level = 0; level < 9; ++level) {
        path += "/" + std::string(250, ' ');
    }
    return path;
}();
const std::string twins = "for k in 1 2 3 4 5; do touch x/t1 x/t2; [ \"$(stat -c %Z x/t1)\" = "
                          "\"$(stat -c %Z x/t2)\" ] && break; done";
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
    {"btrfs of twenty loop devices",
     btrfs_members(20, false),
     {{{"bt/a", "f", "l"}, "m20.img", reads("bt/a")},
      {{"m17.img", "f", "bt/l"}, "", expect::log_refusal("bt/l", "m17.img")}}},
    {"btrfs of seventeen loop devices, each inside an ext2 of a loop device of its own",
     btrfs_members(17, true),
     {{{"bt/a", "f", "l"}, "o17.img", reads("bt/a")},
      {{"bt/a", "f", "l"}, "o1.img", reads("bt/a")}}},

    {"erofs mounted from a file, a loop device and an overlay over it",
     {images + "mkdir e m ov up wk e_files && mke2fs -q -F -t ext2 -d files e_files/in.img 2M && "
               "cp files/a e_files/a && mkfs.erofs erofs.img e_files",
      "erofs erofs.img e", "attach-ro e/in.img", "mount -o ro $L1 m",
      "mount -t overlay o -o lowerdir=e,upperdir=up,workdir=wk ov"},
     {{{"e/a", "f", "erofs.img"}, "", expect::log_refusal("erofs.img", "e/a")},
      {{"m/a", "f", "erofs.img"}, "", backs("erofs.img", "$L1")},
      {{"ov/a", "f", "erofs.img"}, "", expect::log_refusal("erofs.img", "ov/a")},
      {{"e/a", "f", "l"}, ">>erofs.img", reads("e/a")}}},
    {"erofs mounted from a name of blanks on a loop device, and renamed",
     {images + "mkdir m e r && mke2fs -q -F -t ext2 outer.img 4M && mkfs.erofs moved.img files",
      "attach outer.img",
      "mount $L1 m && mkdir -p 'm/" + deep + "' && mkfs.erofs 'm/" + deep + "/my image ' files",
      "erofs m/" + deep + "/my image  e", "erofs moved.img r", "mv moved.img renamed.img"},
     {{{"e/a", "f", "l"}, ">>outer.img", reads("e/a"), 0, "PAIRSCAN_FAILING=statmount"},
      {{"e/a", "f", "l"}, ">>outer.img", reads("e/a")},
      {{"e/a", "f", "m/" + deep + "/my image "},
       "",
       expect::log_refusal("m/" + deep + "/my image ", "e/a"),
       0,
       "PAIRSCAN_FAILING=statmount"},
      {{"r/a", "f", "renamed.img"}, "", expect::log_refusal("renamed.img", "r/a")}}},
    {"bindfs, and erofs mounted through it",
     {images + "mkdir d bind e && cp files/a d/a && mkfs.erofs d/img files", "bindfs d bind",
      "erofs bind/img e"},
     {{{"bind/a", "f", "d/a"}, "", expect::log_refusal("d/a", "bind/a")},
      {{"d/a", "f", "bind/a"}, "", expect::log_refusal("bind/a", "d/a")},
      {{"e/a", "f", "d/img"}, "", expect::log_refusal("d/img", "e/a")}}},
    {"overlays over one lower directory, over tmpfs, with xino, metacopy and userxattr, and over "
     "another",
     {images + "mkdir low up wk ov t ovx ovu upu wku up2 wk2 ov2 x ovt && cp files/a files/b low "
               "&& echo c >low/c && head -c 65536 /dev/zero >low/rw && cp low/rw low/ro && "
               "mke2fs -q -F -t ext2 ext2.img 1M && mount -t tmpfs t t && mkdir t/up t/wk t/upt "
               "t/wkt",
      "mount -t overlay o -o lowerdir=low,upperdir=up,workdir=wk ov",
      "mount -t overlay o -o lowerdir=low,upperdir=t/up,workdir=t/wk,xino=on,metacopy=on ovx",
      "mount -t overlay o -o lowerdir=low,upperdir=upu,workdir=wku,userxattr ovu",
      "mount -t overlay o -o lowerdir=ov,upperdir=up2,workdir=wk2 ov2",
      ": >>ov/a && : >>ov/c && : >>ovu/a && : >>ov2/a && chmod 600 ovx/a", "attach ov/rw",
      "attach-ro ovx/ro", "attach ext2.img", "mount $L3 x && " + twins,
      "mount -t overlay o -o lowerdir=x,upperdir=t/upt,workdir=t/wkt ovt",
      "mkdir sub low2 up3 wk3 ovr && cp files/a files/b low2",
      "cd sub && mount -t overlay o -o lowerdir=../low2,upperdir=../up3,workdir=../wk3 ../ovr",
      ": >>ovr/b"},
     {{{"ov/b", "f", "low/b"}, "", expect::log_refusal("low/b", "ov/b")},
      {{"ov/a", "f", "low/a"}, "", ""},
      {{"ov/a", "f", "up/a"}, "", expect::log_refusal("up/a", "ov/a")},
      {{"ovu/a", "f", "upu/a"}, "", expect::log_refusal("upu/a", "ovu/a")},
      {{"ovx/a", "f", "low/a"}, "", expect::log_refusal("low/a", "ovx/a")},
      {{"ovx/b", "f", "low/b"}, "", expect::log_refusal("low/b", "ovx/b")},
      {{"ov2/a", "f", "up2/a"}, "", expect::log_refusal("up2/a", "ov2/a")},
      {{"ov/b", "f", "l"}, ">>low/b", reads("ov/b")},
      {{"$L1", "f", "up/rw"}, "", backs("up/rw", "$L1")},
      {{"$L2", "f", "low/ro"}, "", backs("low/ro", "$L2")},
      {{"ovr/a", "f", "low2/a"}, "", expect::log_refusal("low2/a", "ovr/a")},
      {{"ovr/b", "f", "up3/b"}, "", expect::log_refusal("up3/b", "ovr/b")},
      {{"ov/a", "ov/b", "up/c"}, "", ""},
      {{"ov/b", "f", "ovx/b"}, "", ""},
      {{"ov/b", "f", "l"}, ">>ovx/b", ""},
      {{"ovt/t1", "f", "x/t2"}, "", ""}}},
    {"overlay of ten lower layers, and a file of another tmpfs that shows its inode number",
     {images + "mkdir lt t2 ov10 && mount -t tmpfs lt lt && mkdir lt/u lt/w && for i in 1 2 3 4 "
               "5 6 7 8 9 10; do mkdir lt/l$i; done && cp files/a lt/l10/a",
      "mount -t overlay o -o lowerdir=lt/l1:lt/l2:lt/l3:lt/l4:lt/l5:lt/l6:lt/l7:lt/l8:lt/l9:lt/"
      "l10,upperdir=lt/u,workdir=lt/w ov10",
      "mount -t tmpfs t2 t2 && i=$(stat -c %i ov10/a) && n=0 && while [ $n -lt 1000 ] && [ ! -e "
      "t2/same ]; do : >t2/x$n; [ $(stat -c %i t2/x$n) = $i ] && mv t2/x$n t2/same; n=$((n+1)); "
      "done; [ -e t2/same ]"},
     {{{"ov10/a", "f", "lt/l10/a"}, "", expect::log_refusal("lt/l10/a", "ov10/a")},
      {{"ov10/a", "f", "t2/same"}, "", ""},
      {{"ov10/a", "f", "l"}, ">>t2/same", ""}}},
    {"overlay with a data-only layer that holds a metacopy file's bytes",
     {images + "mkdir meta data up wk ovd && cp files/a data/d && truncate -s 4 meta/d && "
               "setfattr -n trusted.overlay.metacopy -v '' meta/d && setfattr -n "
               "trusted.overlay.redirect -v /d meta/d",
      "mount -t overlay o -o lowerdir=meta::data,upperdir=up,workdir=wk,metacopy=on ovd"},
     {{{"ovd/d", "f", "data/d"}, "", expect::log_refusal("data/d", "ovd/d")},
      {{"ovd/d", "f", "l"}, ">>data/d", reads("ovd/d")},
      {{"ovd/d", "f", "meta/l"}, "", ""}}},
};

} // namespace

TEST(Guard, EveryStackInBothDirections) {
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    check_stacks(stacks);
}

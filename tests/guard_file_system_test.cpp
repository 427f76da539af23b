// Stacks of file systems, built in a mount namespace of the test's own: erofs mounted straight
// from a file, from a long name and renamed since, FUSE, and overlays of every kind (copied up,
// xino, metacopy, userxattr, over another overlay, named from another directory, ten lower layers,
// a data-only layer). Each run is made in both directions, as in storage_stacks.hpp.

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
const Stack stacks[] = {
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

TEST(Guard, FileSystemStacks) {
    if (!enter_private_mounts()) {
        GTEST_SKIP() << "no mount namespace of the test's own here";
    }
    check_stacks(stacks);
}

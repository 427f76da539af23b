// A mount namespace of the test process's own, for tests that mount file systems or hand the tool
// device nodes as root: what they mount goes with the process, even when its timeout kills it,
// and a fault in the tool can unlink or replace only the namespace's copy of /dev.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Moves the calling thread (and every process it starts) into a private mount namespace whose
// /dev is a copy of the machine's, once per process. False, with nothing changed, where that is
// not allowed (not root, or no namespaces): the caller then skips, visibly.
bool enter_private_mounts();

// A loop device over an image, attached by the test process itself to clear itself once nothing
// holds it: neither this object, which keeps it open, nor a mount of it. Nothing stays attached
// when the test ends, or is killed. An empty name where it cannot be attached.
class LoopDevice {
  public:
    // flags: LO_FLAGS_READ_ONLY, and LO_FLAGS_PARTSCAN, which also drops the partitions at the end.
    explicit LoopDevice(const std::filesystem::path &image, std::uint32_t flags = 0,
                        std::uint64_t offset = 0);
    ~LoopDevice();
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &name() const { return name_; }
    // Mounts the device's file system on directory, in the private namespace, until this object
    // goes, with the file system's own options if given; false if it cannot.
    bool mount(const std::filesystem::path &directory, const char *type, bool read_only = false,
               const char *options = nullptr);

  private:
    int fd_ = -1;
    std::string name_;
    std::filesystem::path mounted_;
};

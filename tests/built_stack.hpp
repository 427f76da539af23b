// A stack of storage built line by line in a scratch directory, in the test's own mount namespace,
// and what the files under it hold.
#pragma once

#include "private_mounts.hpp"
#include "tool_runner.hpp"

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Every regular file under dir, mounts and images included, with a hash of its bytes.
std::map<std::filesystem::path, std::size_t> every_file(const std::filesystem::path &dir);

// Built in the scratch directory: "attach FILE [OFFSET]", "attach-ro FILE" and "attach-parts FILE"
// (partitions added by hand) attach the next loop device, $L1, $L2... in later lines; "bindfs FROM
// TO" and "erofs IMAGE DIR" mount; any other line is a shell command. Its mounts, FUSE servers and
// loop devices go with it.
class BuiltStack {
  public:
    explicit BuiltStack(const Scratch &scratch) : scratch_(scratch) {}
    ~BuiltStack();
    BuiltStack(const BuiltStack &) = delete;
    BuiltStack &operator=(const BuiltStack &) = delete;
    bool build(const std::string &line); // false where the line fails
    std::string expand(std::string text) const;

  private:
    bool serve(const std::string &from, const std::string &to);

    const Scratch &scratch_;
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    std::vector<pid_t> servers_;
};

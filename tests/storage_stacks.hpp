// Stacks of storage built line by line in a mount namespace of the test's own, and the runs on
// them: a run whose output would reach what an input reads is refused, with every file as it was
// and nothing made, and a run that harms nothing gives its whole report.
#pragma once

#include <sys/types.h>

#include <span>
#include <string>
#include <vector>

using Args = std::vector<std::string>;

// One run on a stack. Standard output goes to `out` when given: appended to after ">>", else
// opened read-write as 1<> does. $L1, $L2... stand for the stack's loop devices.
struct GuardRun {
    Args args;
    std::string out;
    std::string refusal; // its line on standard error; empty for a run that harms nothing
    uid_t user = 0;
    std::string setting{}; // for the fault library
    std::string masked{};  // "/sys", "/sys /proc": hidden by an empty tmpfs, as in a chroot
};

// A stack is built line by line in its work directory: "attach FILE [OFFSET]", "attach-ro FILE"
// and "attach-parts FILE" (partitions added by hand) attach the next loop device, "bindfs FROM TO"
// and "erofs IMAGE DIR" mount, and any other line is a shell command. Where a line fails the stack
// is skipped, visibly.
struct Stack {
    const char *name;
    std::vector<std::string> build;
    std::vector<GuardRun> runs;
};

// Two small files to compare, a and b in files/, and f like a. Inline, so that the tables of
// stacks of every file are made after it.
inline const std::string images = "mkdir files && echo abc >files/a && echo abd >files/b && "
                                  "echo abc >f && chmod -R a+rwX . && ";
constexpr uid_t nobody = 65534;

// Builds each stack in a scratch directory of its own and checks its runs; a stack this machine
// cannot build is skipped, visibly.
void check_stacks(std::span<const Stack> stacks);

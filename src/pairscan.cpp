// pairscan: compares two files byte by byte and reports the differing pairs, or every pair, on
// standard output and in a log file.

#include "comparison_run.hpp"
#include "report.hpp"

#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <new>

namespace {

// A file opened later must never become standard output or standard error, or report texts and
// diagnostics would land in it. A closed descriptor is taken by /dev/null, opened so that writes
// to it fail and are reported rather than silently lost.
void guard_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        }
    }
}

} // namespace

int main(int argc, char *argv[]) {
    guard_standard_descriptors();
    // A reader that goes away, or a file-size limit, shows up as a failed write to that output,
    // so the other one can still be finished.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    RunFile console(nullptr);
    const StreamBinding binding(std::cout, console);
    try {
        write_console_banner(std::cout);
        if (argc != 4 && argc != 5) {
            write_usage(std::cout);
            console.pubsync();
            return console.intact() ? 1 : 2;
        }
        const Mode mode = argc == 5 ? Mode::verbose : Mode::mismatch;
        write_announcement(std::cout, mode, argv[1], argv[2], argv[3]);
        return run_comparison(argv[1], argv[2], argv[3], mode, console);
    } catch (const std::bad_alloc &) {
        write_memory_failure();
        return 2;
    }
}

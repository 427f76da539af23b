// pairscan: compares two files byte by byte and reports the differing pairs, or every pair, on
// standard output and in a log file.

#include "comparison.hpp"
#include "report.hpp"

#include <csignal>
#include <fcntl.h>
#include <iostream>

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
    // A reader that goes away shows up as a failed write, so the log can still be finished.
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);

    write_console_banner(std::cout);
    if (argc != 4 && argc != 5) {
        write_usage(std::cout);
        return console_delivered() ? 1 : 2;
    }
    const Mode mode = argc == 5 ? Mode::verbose : Mode::mismatch;
    write_announcement(std::cout, mode, argv[1], argv[2], argv[3]);
    const bool complete = run_comparison(argv[1], argv[2], argv[3], mode);
    return console_delivered() && complete ? 0 : 2;
}

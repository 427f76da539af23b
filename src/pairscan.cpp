// pairscan: compares two files byte by byte and reports the differing pairs, or every pair, on
// standard output and in a log file.

#include "comparison_run.hpp"
#include "file_guard.hpp"
#include "report.hpp"

#include <iostream>
#include <new>

int main(int argc, char *argv[]) {
    guard_standard_descriptors();
    take_signals();
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
        const int status = run_comparison(argv[1], argv[2], argv[3], mode, console);
        end_as_signalled();
        return status;
    } catch (const std::bad_alloc &) {
        write_memory_failure();
        return 2;
    }
}

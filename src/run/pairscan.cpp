// pairscan: compares two files byte by byte and reports the differing pairs, or every pair, on
// standard output and in a log file.

#include "guard/guard.hpp"
#include "outputs/output_file.hpp"
#include "run/comparison_run.hpp"
#include "system/stop_signals.hpp"
#include "texts/report.hpp"

int main(int argc, char *argv[]) {
    guard_standard_descriptors();
    take_signals();
    OutputFile console(nullptr);
    if (argc != 4 && argc != 5) {
        console.write(texts::console_banner());
        console.write(texts::usage());
        console.flush();
        return console.intact() ? 1 : 2;
    }
    const Mode mode = argc == 5 ? Mode::verbose : Mode::mismatch;
    const int status = run_comparison(argv[1], argv[2], argv[3], mode, console);
    end_as_signalled();
    return status;
}

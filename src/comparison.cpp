#include "comparison.hpp"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>

char zeichen1 = 0;
char zeichen2 = 0;
unsigned long dateipos = 0;

namespace {

// Why standard output first failed: by the time the run ends, errno may tell another story.
int console_errno = 0;

// The reason of the failure just seen; a stream can fail without the system giving one.
int last_error() { return errno != 0 ? errno : EIO; }

bool console_intact() {
    if (!std::cout && console_errno == 0) {
        console_errno = last_error();
    }
    return static_cast<bool>(std::cout);
}

// Opening the log empties it: when it is one of the inputs, that input would be lost.
bool log_overwrites_input(const char *logfile, const char *input) {
    std::error_code unused;
    if (!std::filesystem::equivalent(logfile, input, unused)) {
        return false;
    }
    write_log_refusal(std::cerr, logfile, input);
    return true;
}

template <typename FileStream> bool opened(const FileStream &stream, const char *name) {
    if (stream.is_open()) {
        return true;
    }
    write_failure(std::cerr, name, last_error());
    return false;
}

// End of file is how a comparison ends; only a bad stream means the input could not be read.
bool read_through(const std::istream &input, const char *name) {
    if (!input.bad()) {
        return true;
    }
    write_failure(std::cerr, name, last_error());
    return false;
}

} // namespace

Shorter compare_streams(std::istream &datei1, std::istream &datei2, Mode mode,
                        const PairReport &report) {
    while (!datei1.fail() && !datei2.fail()) {
        // Both reads happen in every round: the verdict needs to know whether the second input
        // also ran out in the round where the first did.
        datei1.get(zeichen1);
        datei2.get(zeichen2);
        if (datei1.fail() || datei2.fail()) {
            break;
        }
        const bool equal = zeichen1 == zeichen2;
        if ((mode == Mode::verbose || !equal) && !report(equal)) {
            return Shorter::neither;
        }
        ++dateipos;
    }
    if (datei1.fail() == datei2.fail()) {
        return Shorter::neither;
    }
    return datei1.fail() ? Shorter::first : Shorter::second;
}

bool run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode) {
    console_intact(); // the announcement may already have failed; keep its reason
    if (log_overwrites_input(logfile, file1) || log_overwrites_input(logfile, file2)) {
        return false;
    }
    dateipos = 1;
    std::ofstream logdatei(logfile, std::ios::out | std::ios::trunc);
    bool complete = opened(logdatei, logfile);
    std::ifstream datei1(file1);
    complete = opened(datei1, file1) && complete;
    std::ifstream datei2(file2);
    complete = opened(datei2, file2) && complete;

    // A log that fails to take a write stays failed; remember why at once, while errno tells.
    int log_errno = 0;
    const bool log_open = logdatei.is_open();
    const auto note_log_failure = [&] {
        if (log_open && !logdatei && log_errno == 0) {
            log_errno = last_error();
        }
    };
    write_log_banner(logdatei);
    write_log_heading(logdatei, file1, file2);
    note_log_failure();

    const auto report = [&](bool equal) {
        if (mode == Mode::verbose) {
            write_pair_prefix(std::cout, zeichen1, zeichen2, dateipos);
            write_pair_prefix(logdatei, zeichen1, zeichen2, dateipos);
        }
        if (equal) {
            write_match_note(std::cout);
            write_match_note(logdatei);
        } else {
            write_console_mismatch(std::cout, zeichen1, zeichen2, dateipos, logfile);
            write_log_mismatch(logdatei, zeichen1, zeichen2, dateipos);
        }
        note_log_failure();
        return console_intact();
    };
    const Shorter shorter = compare_streams(datei1, datei2, mode, report);
    complete = read_through(datei1, file1) && complete;
    complete = read_through(datei2, file2) && complete;

    if (shorter != Shorter::neither) {
        const char *first = shorter == Shorter::first ? file1 : file2;
        const char *other = shorter == Shorter::first ? file2 : file1;
        write_console_verdict(std::cout, first, other);
        write_log_verdict(logdatei, first, other);
    }
    datei1.close();
    datei2.close();
    write_trailer(logdatei);
    logdatei.close();
    note_log_failure();
    if (log_errno != 0) {
        write_failure(std::cerr, logfile, log_errno);
        complete = false;
    }
    return complete;
}

bool console_delivered() {
    std::cout.flush();
    if (console_intact()) {
        return true;
    }
    write_failure(std::cerr, "standard output", console_errno);
    return false;
}

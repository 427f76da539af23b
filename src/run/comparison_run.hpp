// The comparison run: the files it opens, the order of its texts, and its exit status.
#pragma once

#include "outputs/output_file.hpp"
#include "texts/report.hpp"

// The whole run over the named files, from the banner on console. Returns the exit status:
// 0 when every file did its part, 2 when one failed or a file was refused; each such failure
// has its line on standard error.
int run_comparison(const char *file1, const char *file2, const char *logfile, Mode mode,
                   OutputFile &console);

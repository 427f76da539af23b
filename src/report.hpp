// Every text pairscan writes, to standard output, to the log and to standard error.
#pragma once

#include <iosfwd>
#include <string_view>

// Shown in both banners; never changed at run time.
inline constexpr float version = 0.1F;

// Mismatch mode reports the differing pairs only; verbose mode reports every pair.
enum class Mode { mismatch, verbose };

void write_console_banner(std::ostream &console);
void write_usage(std::ostream &console);
void write_announcement(std::ostream &console, Mode mode, std::string_view file1,
                        std::string_view file2, std::string_view logfile);

void write_log_banner(std::ostream &log);
void write_log_heading(std::ostream &log, std::string_view file1, std::string_view file2);

void write_pair_prefix(std::ostream &out, char zeichen1, char zeichen2, unsigned long dateipos);
void write_match_note(std::ostream &out);
void write_console_mismatch(std::ostream &console, char zeichen1, char zeichen2,
                            unsigned long dateipos, std::string_view logfile);
void write_log_mismatch(std::ostream &log, char zeichen1, char zeichen2, unsigned long dateipos);

void write_console_verdict(std::ostream &console, std::string_view shorter, std::string_view other);
void write_log_verdict(std::ostream &log, std::string_view shorter, std::string_view other);
void write_trailer(std::ostream &log);

// Diagnostics for standard error: one line each.
void write_failure(std::ostream &errors, std::string_view name, int errnum);
void write_console_failure(std::ostream &errors, int errnum);
void write_log_refusal(std::ostream &errors, std::string_view logfile, std::string_view input);

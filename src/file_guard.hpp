// The guard against harmful files: nothing the run writes may reach what an input reads, through
// any layer the kernel shows, nor garble another output. It decides on the files as they were
// opened, never on what a name meant a moment earlier, and each refusal has its line on standard
// error, or where standard error is an input, on an output that is none.
#pragma once

#include "file_status.hpp"
#include "storage_stack.hpp"

#include <array>

// A standard descriptor closed at start gets a placeholder that cannot be written to, and that no
// name (/dev/stdin, /proc/self/fd/1, ...) can reopen; a file opened later would take its place.
void guard_standard_descriptors();

// A log named by a block device is refused before it is opened at all: closing a disk that was
// opened for writing makes udev probe it again. The log's rules decide all the same.
bool log_name_is_block_device(const char *logfile);

// The log as opened: its descriptor (-1 where the open failed), and whether it was there before,
// or made by this run, when nothing could read it.
struct LogFile {
    const char *name;
    int fd;
    bool existed;
};

// The rules, applied to the inputs as they were opened.
class FileGuard {
  public:
    explicit FileGuard(const std::array<OpenedFile, 2> &inputs);

    // Before anything is written: standard output and standard error may not write to what an
    // input reads. A terminal is shared line by line, and reading it takes nothing from it.
    bool standard_outputs_refused();
    // Before the log is emptied: it is no block device, writes to nothing an input reads, and is
    // not the file of standard output or standard error.
    bool log_refused(const LogFile &log);

  private:
    const std::array<OpenedFile, 2> &inputs_;
    StorageStack stack_;
    std::array<Way, 2> reads_;
};

// The guard against harmful files: nothing the run writes may destroy an input or a disk, garble
// another output, or be read back as an input. It decides on the files as they were opened, never
// on what a name meant a moment earlier, and each refusal has its line on standard error, or where
// standard error is an input, on an output that is none.
#pragma once

#include <sys/stat.h>

#include <array>

// A standard descriptor closed at start gets a placeholder that cannot be written to, and that no
// name (/dev/stdin, /proc/self/fd/1, ...) can reopen; a file opened later would take its place.
void guard_standard_descriptors();

// The inputs as opened: their names, their descriptors (-1 where the open failed) and their
// status then.
struct OpenedInputs {
    std::array<const char *, 2> names;
    std::array<int, 2> descriptors;
    std::array<const struct stat *, 2> statuses;
};

// Before anything is written: standard output and standard error may not write to a file that an
// input reads. A terminal is shared line by line, and reading it takes nothing from the output.
bool standard_outputs_refused(const OpenedInputs &inputs);

// A log named by a block device is refused before it is opened at all: closing a disk that was
// opened for writing makes udev probe it again. The rules below decide all the same.
bool log_name_is_block_device(const char *logfile);

// What the run opened, before anything was written to the log or emptied. The log's descriptor is
// -1 where its open failed; log_existed tells a log that this run did not create.
struct OpenedFiles {
    const char *logfile;
    int log;
    bool log_existed;
    OpenedInputs inputs;
};

// Applies every rule of the log to the opened descriptors; the first that is broken writes its
// refusal.
bool log_refused(const OpenedFiles &files);

// The guard against harmful files: nothing the run writes may destroy an input or a disk, garble
// another output, or be read back as an input. Each refusal has its line on standard error.
#pragma once

// A standard descriptor closed at start gets a placeholder that cannot be written to, and that no
// name (/dev/stdin, /proc/self/fd/1, ...) can reopen; a file opened later would take its place.
void guard_standard_descriptors();

// The checks by name, before anything is opened: the log is not a block device, not an input
// (nor the backing file of an input's loop device), not standard output's or standard error's
// file; no input is one of those two outputs.
bool refused_by_name(const char *logfile, const char *file1, const char *file2);

// The check of what was opened, before anything is read: an input reached through a spelling
// that the names did not show (/dev/fd/N, a link too long to follow by hand) is still not the log
// nor an output. log is -1 when the log could not be opened, and so is an input's descriptor.
bool refused_as_opened(const char *logfile, int log, const char *input, int input_descriptor);

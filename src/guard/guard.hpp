// The guard: nothing the run writes may reach what an input reads, through any layer the kernel
// shows, nor erase another output. It decides on the files as opened, never on names.
#pragma once

#include "guard/meeting.hpp"
#include "guard/storage_stack.hpp"
#include "system/file_status.hpp"

#include <array>
#include <optional>

// A standard descriptor closed at start gets a placeholder that nothing can write to or reopen by
// name; otherwise a file opened later would take its place.
void guard_standard_descriptors();

// Checked before the log's open: closing a disk opened for writing makes udev probe it again.
bool log_name_is_block_device(const char *logfile);

// The log as found before anything is made: fd is the log, or where it is new, the directory it
// would be made in; -1 where neither could be opened.
struct LogFile {
    const char *name;
    int fd;
    bool existed;
};

class FileGuard {
  public:
    explicit FileGuard(const std::array<OpenedFile, 2> &inputs);

    // Before anything is written. A terminal is allowed: reading it takes nothing from it.
    bool standard_outputs_refused();
    // Before the log is made or emptied.
    bool log_refused(const LogFile &log);

  private:
    Layers read_layers(const OpenedFile &input);
    Layers standard_output_layers(int fd);
    std::optional<Meeting> meeting_with(Layers &written, std::size_t k);
    bool log_refused_for_loop_device(const LogFile &log, const struct stat &status);
    bool short_of_memory() const;

    const std::array<OpenedFile, 2> &inputs_;
    StorageStack stack_;
    std::array<Layers, 2> reads_;
};

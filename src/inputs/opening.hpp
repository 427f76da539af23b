// An input of the run: opened without waiting (a FIFO's writer may be waiting for the other
// input's open), and then made the source that its kind calls for.
#pragma once

#include "inputs/arriving.hpp"
#include "inputs/mapped.hpp"
#include "inputs/read.hpp"
#include "inputs/source.hpp"
#include "system/file_status.hpp"

#include <sys/stat.h>

#include <span>
#include <variant>

// Opens an input, and says nothing of it yet.
OpenedFile open_input(const char *name);

// One input of the run as the source of its kind; a failed open is reported here. The source lives
// inside, so that no memory is claimed once the run has begun. block is the space for bytes that
// are read; slot (0 or 1) tells the input's mapped window apart from the other's.
class Input {
  public:
    Input(const OpenedFile &opened, int slot, std::span<char> block);
    Source &source() { return *source_; }
    // The mapped file, when the input is one.
    MappedInput *mapped() { return std::get_if<MappedInput>(&source_of_kind_); }

  private:
    std::variant<std::monostate, Source, MappedInput, ReadInput, ArrivingInput> source_of_kind_;
    Source *source_ = nullptr;
};

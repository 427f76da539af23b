// The two inputs of the run as the comparison sees them (see compare_inputs): each opened as the
// source its kind calls for, filled as their bytes arrive, and, for two regular files in mismatch
// mode, compared stretch by stretch as their layout allows, so that what both must hold alike
// (holes, shared blocks) costs nothing to compare.
#pragma once

#include "arriving_input.hpp"
#include "file_layout.hpp"
#include "input_source.hpp"
#include "mapped_input.hpp"
#include "read_input.hpp"

#include <signal.h>

#include <array>
#include <csignal>
#include <optional>
#include <span>
#include <variant>

// An input as opened, without waiting (a FIFO's writer may be waiting for the other input's
// open), and before anything is said of it: its descriptor and its status then, or -1 and why
// the open failed.
struct OpenedInput {
    const char *name;
    int fd;
    struct stat status;
    int errnum;
};
OpenedInput open_input(const char *name);

// One input of the run as the source of its kind; a failed open is told here. The source lives
// inside, so that no memory is claimed once the run has begun. block is the room for bytes that
// are read; slot (0 or 1) tells the input's mapped window apart from the other's.
class Input {
  public:
    Input(const OpenedInput &opened, int slot, std::span<char> block);
    Source &source() { return *source_; }
    // The mapped file, when the input is one.
    MappedInput *mapped() { return std::get_if<MappedInput>(&kinds_); }

  private:
    std::variant<std::monostate, Source, MappedInput, ReadInput, ArrivingInput> kinds_;
    Source *source_ = nullptr;
};

// How the run asks the reading to stop: a flag that a handler of these signals sets. A wait for
// input lets them in only while it waits, so that none can slip in between the look at the flag
// and the wait.
struct StopRequest {
    const volatile std::sig_atomic_t *requested;
    sigset_t signals;
};

class InputPair {
  public:
    // layout, when given, lets two mapped files be compared by stretches of their layout.
    InputPair(Source &first, Source &second, StopRequest stop);
    InputPair(MappedInput &first, MappedInput &second, StopRequest stop, Layout &layout);

    // Waits until each input has bytes pending or has ended, reading whatever has arrived
    // meanwhile, so that one writer feeding both inputs is never left waiting on the other.
    bool fill();
    std::span<const char> pending(int k) const { return inputs_[k]->pending(); }
    bool ended(int k) const { return inputs_[k]->ended(); }
    void consume(std::size_t size) {
        inputs_[0]->consume(size);
        inputs_[1]->consume(size);
    }
    std::size_t trustworthy(int k, std::size_t upto) const { return inputs_[k]->trustworthy(upto); }

  private:
    bool read_what_arrived();
    void deliver_next_stretch();

    std::array<Source *, 2> inputs_;
    StopRequest stop_;
    std::array<MappedInput *, 2> files_{};
    Layout *layout_ = nullptr;
};

// The layout of two regular inputs large enough for it to matter, or nothing. Smaller files are
// compared whole: asking costs more than it could save.
std::optional<DiskLayout> layout_of(Input &first, Input &second);

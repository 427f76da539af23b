// The two inputs of the run as the comparison sees them (see compare_inputs): filled as their
// bytes arrive, and, for two regular files in mismatch mode, delivered stretch by stretch as their
// layout allows, so that what both must hold alike (holes, shared blocks) costs nothing to compare.
#pragma once

#include "file_layout.hpp"
#include "input_source.hpp"
#include "mapped_input.hpp"

#include <signal.h>

#include <array>
#include <csignal>
#include <optional>
#include <span>

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
    std::size_t before_cut(int k, std::size_t upto) const { return inputs_[k]->before_cut(upto); }

  private:
    bool read_what_arrived();
    void deliver_next_stretch();

    std::array<Source *, 2> inputs_;
    StopRequest stop_;
    std::array<MappedInput *, 2> files_{};
    Layout *layout_ = nullptr;
};

// The layout of two mapped files large enough for it to matter, or nothing (also where either
// input is no mapped file). Smaller files are compared whole: asking costs more than it saves.
std::optional<DiskLayout> layout_of(MappedInput *first, MappedInput *second);

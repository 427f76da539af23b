// The two inputs as compare_inputs sees them; two regular files in mismatch mode are delivered
// stretch by stretch as their layout allows, so that what both hold alike costs nothing.
#pragma once

#include "inputs/layout.hpp"
#include "inputs/mapped.hpp"
#include "inputs/source.hpp"

#include <signal.h>

#include <array>
#include <csignal>
#include <optional>
#include <span>

// A wait lets these signals in only while it waits: none slips in between a look at the flag and
// the wait.
struct StopRequest {
    const volatile std::sig_atomic_t *requested;
    sigset_t signals;
};

class InputPair {
  public:
    InputPair(Source &first, Source &second, StopRequest stop);
    InputPair(MappedInput &first, MappedInput &second, StopRequest stop, Layout &layout);

    // Reads whatever arrived meanwhile: one writer feeding both is never left waiting on the other.
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

// Nothing for smaller files, or other kinds: asking would cost more than it saves.
// Made in space (of sizeof(DiskLayout) bytes) where both are mapped and large enough to gain by it;
// nullptr otherwise.
DiskLayout *layout_of(MappedInput *first, MappedInput *second, void *space);

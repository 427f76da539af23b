// An input read as its bytes arrive: a pipe, a FIFO, a socket, a terminal or a character device.
// It is read only when poll says it has something, so that a writer feeding both inputs is never
// left waiting while the run waits for the other.
#pragma once

#include "inputs/read.hpp"

class ArrivingInput final : public ReadInput {
  public:
    using ReadInput::ReadInput;
    bool read_when_ready() const override { return true; }
};

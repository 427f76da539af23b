// The guard's rule: where a write through the layers beneath an output changes what is read
// through those beneath an input. Free of I/O: it judges the layers as the walk found them.
#pragma once

#include "guard/storage_stack.hpp"

#include <cstddef>
#include <optional>

// Whether a layer of one list and a layer of another are one.
bool same_layer(const Layer &a, const Layer &b);

// Where the two lists meet, by the index of the layer in each. unseen: one of the two is a layer
// that cannot be seen, which the other may be.
struct Meeting {
    std::size_t written;
    std::size_t read;
    bool unseen;
};

// One list reaches where the other starts, or both reach one layer from different ones above it,
// one of which reads it whole; or a layer that cannot be seen may be a layer of the other list.
std::optional<Meeting> meeting(const Layers &written, const Layers &read);

// Builds the bytes of one generated firmware image; see ImageLayout.h for the format.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/imagegen/ImageLayout.h"

namespace sim::image {

// Lengths of the frames of the module's file in order, frame 1 included. Empty when the module's
// size, frame count and erase range admit no layout.
std::vector<std::uint32_t> PlanFrames(const Module& module);

// The whole file. The content depends on nothing but the module entry, so every build produces
// the same bytes. Empty when PlanFrames finds no layout.
std::vector<std::uint8_t> BuildImage(const Module& module);

}  // namespace sim::image

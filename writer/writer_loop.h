#pragma once

#include <array>
#include <cstdint>

#include "library_calls.h"
#include "output.h"
#include "run_control.h"

namespace rawcan {

inline constexpr int kBatchSize = 50;
inline constexpr uint32_t kFirstBatchId = 1000;

using Batch = std::array<RawCanMessage, kBatchSize>;

// Frames 1000..1049, length 8, counter 0 in data bytes 0-3.
Batch make_batch();

// Sets the little-endian counter in data bytes 0-3 of every frame.
void set_batch_counter(Batch& batch, uint32_t counter);

// Prints the start line, then sends one batch per delivered control record,
// raising the counter after each, until the pacer asks for a stop or the
// output fails.
void run_writer(LibraryCalls& library, int32_t channel, Output& out, Pacer& pacer);

}  // namespace rawcan

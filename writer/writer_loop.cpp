#include "writer_loop.h"

#include "records.h"

namespace rawcan {

Batch make_batch() {
  Batch batch{};
  for (int i = 0; i < kBatchSize; ++i) {
    batch[i].id = kFirstBatchId + static_cast<uint32_t>(i);
    batch[i].length = 8;
  }
  return batch;
}

void set_batch_counter(Batch& batch, uint32_t counter) {
  for (RawCanMessage& frame : batch) {
    store_le32(frame.data, counter);
  }
}

void run_writer(LibraryCalls& library, int32_t channel, Output& out, Pacer& pacer) {
  Batch batch = make_batch();
  uint32_t counter = 0;
  out.print("Start writing CAN messages on channel %d:\n", channel);
  CtrlMessage record{};
  while (!pacer.stop_requested() && !out.failed()) {
    if (library.ctrl_read(record) == ERR_NO_DATA) {
      continue;  // poll again at once
    }
    // Only a record the read delivered is examined: an empty read may leave
    // the previous report in place.
    if (record.type == MESSAGE_COUNT && message_count(record) != kBatchSize) {
      out.print("%u Messages\n", static_cast<unsigned>(message_count(record)));
    }
    library.raw_can_write(batch.data(), kBatchSize);
    set_batch_counter(batch, ++counter);
    if (out.flush()) {
      pacer.pause_ms(kIdlePauseMs);
    }
  }
}

}  // namespace rawcan

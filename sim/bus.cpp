#include "bus.h"

#include "can_frame.h"

#include <climits>

namespace zelbor::sim {
namespace {

constexpr uint16_t kCrc15Polynomial = 0x4599;
constexpr int kBitsAfterCrc = 13;  // CRC delimiter, ACK slot, ACK delimiter, EOF 7, intermission 3
// The bits of a frame from its start through its CRC, as they are put: the
// CRC of what came before the CRC field, and the stuff bits the sender
// inserts (after five equal bits, one of the other value, which itself
// starts the next run), in one pass.
class BitStream {
 public:
  void put(uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
      const bool bit = (value >> i & 1) != 0;
      if (!crc_done_) {
        const bool feedback = bit != ((crc_ >> 14 & 1) != 0);
        crc_ = static_cast<uint16_t>(crc_ << 1 & 0x7FFF);
        if (feedback) {
          crc_ ^= kCrc15Polynomial;
        }
      }
      count(bit);
    }
  }
  void put_crc() {
    crc_done_ = true;
    put(crc_, 15);
  }
  // Every bit put, with the stuff bits.
  int stuffed_count() const { return count_ + stuffed_ + (run_ == 5 ? 1 : 0); }

 private:
  void count(bool bit) {
    if (count_++ == 0) {
      last_ = bit;
      run_ = 1;
      return;
    }
    if (run_ == 5) {
      ++stuffed_;
      last_ = !last_;
      run_ = 1;
    }
    if (bit == last_) {
      ++run_;
    } else {
      last_ = bit;
      run_ = 1;
    }
  }

  uint16_t crc_ = 0;
  bool crc_done_ = false;
  int count_ = 0;
  int stuffed_ = 0;
  bool last_ = false;
  int run_ = 0;
};

}  // namespace

int frame_bits(const RawCanMessage& frame) {
  const int length = rawcan::data_length(frame);
  const uint32_t id = rawcan::wire_identifier(frame);
  BitStream writer;
  writer.put(0, 1);  // start of frame
  if (rawcan::is_extended(frame)) {
    writer.put(id >> 18, 11);
    writer.put(1, 1);  // SRR
    writer.put(1, 1);  // IDE
    writer.put(id & 0x3FFFF, 18);
    writer.put(0, 1);  // RTR: a data frame
    writer.put(0, 2);  // r1, r0
  } else {
    writer.put(id, 11);
    writer.put(0, 1);  // RTR
    writer.put(0, 1);  // IDE
    writer.put(0, 1);  // r0
  }
  writer.put(static_cast<uint32_t>(length), 4);
  for (int i = 0; i < length; ++i) {
    writer.put(frame.data[i], 8);
  }
  writer.put_crc();
  return writer.stuffed_count() + kBitsAfterCrc;
}

uint32_t arbitration_key(const RawCanMessage& frame) {
  const uint32_t id = rawcan::wire_identifier(frame);
  if (!rawcan::is_extended(frame)) {
    return id << 19;  // then RTR and IDE, both dominant
  }
  return (id >> 18) << 19 | 1u << 18 | (id & 0x3FFFF);  // SRR recessive, then the extension
}

int Bus::add_node(std::size_t capacity) {
  nodes_.push_back(Node{rawcan::Ring<Queued>(capacity), {}});
  return static_cast<int>(nodes_.size()) - 1;
}

int64_t Bus::bits_ns(int bits) const {
  return int64_t{bits} * 1'000'000'000 / bitrate_;
}

bool Bus::offer(int node, const RawCanMessage& frame, int64_t now_ns) {
  Node& state = nodes_[static_cast<std::size_t>(node)];
  ++state.stats.offered;
  if (bitrate_ == 0) {
    ++state.stats.sent;
    passed_.push_back(OnBus{node, frame, now_ns, now_ns});
    return true;
  }
  if (!state.queue.push_back(Queued{frame, now_ns})) {
    ++state.stats.dropped;
    return false;
  }
  return true;
}

bool Bus::next_delivery(int64_t now_ns) {
  if (bitrate_ == 0) {
    if (passed_.empty()) {
      return false;
    }
    current_ = passed_.front();
    passed_.pop_front();
    return true;
  }
  if (!on_bus_) {
    const int64_t start = next_start_ns();
    if (start == INT64_MAX || start > now_ns) {  // nothing queued, or not yet
      return false;
    }
    // Every head ready when the bus frees takes part; the lowest key wins,
    // and of two equal keys the node added first.
    int winner = -1;
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      const rawcan::Ring<Queued>& queue = nodes_[i].queue;
      if (queue.empty() || queue.front().ready_ns > start) {
        continue;
      }
      if (winner < 0 ||
          arbitration_key(queue.front().frame) <
              arbitration_key(nodes_[static_cast<std::size_t>(winner)].queue.front().frame)) {
        winner = static_cast<int>(i);
      }
    }
    Node& node = nodes_[static_cast<std::size_t>(winner)];
    const RawCanMessage frame = node.queue.front().frame;
    node.queue.pop_front();
    ++node.stats.sent;
    const int bits = frame_bits(frame);
    current_ = OnBus{winner, frame, start + bits_ns(bits - 3), start + bits_ns(bits)};
    busy_ns_ += bits_ns(bits);
    free_ns_ = current_.free_ns;
    on_bus_ = true;
  }
  return current_.end_of_frame_ns <= now_ns;
}

int64_t Bus::next_event_ns() const {
  if (bitrate_ == 0) {
    return passed_.empty() ? INT64_MAX : INT64_MIN;
  }
  return on_bus_ ? current_.end_of_frame_ns : next_start_ns();
}

int64_t Bus::next_start_ns() const {
  int64_t earliest = INT64_MAX;
  for (const Node& node : nodes_) {
    if (!node.queue.empty() && node.queue.front().ready_ns < earliest) {
      earliest = node.queue.front().ready_ns;
    }
  }
  if (earliest == INT64_MAX) {
    return INT64_MAX;
  }
  return earliest > free_ns_ ? earliest : free_ns_;
}

bool Bus::idle() const {
  if (on_bus_ || !passed_.empty()) {
    return false;
  }
  for (const Node& node : nodes_) {
    if (!node.queue.empty()) {
      return false;
    }
  }
  return true;
}

}  // namespace zelbor::sim

// A queue that never grows: values in a fixed array, oldest first. The link,
// the device and the host driver keep their queues in it, so the index
// arithmetic of a ring is written once. With Capacity 0 the capacity is given
// at construction, allocated once and never changed.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace rawcan {

template <typename T, std::size_t Capacity = 0>
class Ring {
 public:
  Ring() requires(Capacity > 0) = default;
  explicit Ring(std::size_t capacity) requires(Capacity == 0)
      : items_(std::make_unique_for_overwrite<T[]>(capacity == 0 ? 1 : capacity)),
        capacity_(capacity == 0 ? 1 : capacity) {}

  std::size_t capacity() const { return capacity_; }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == capacity_; }

  // The i-th oldest value; i < size().
  T& operator[](std::size_t i) { return items_[at(i)]; }
  const T& operator[](std::size_t i) const { return items_[at(i)]; }
  T& front() { return items_[head_]; }
  const T& front() const { return items_[head_]; }
  T& back() { return (*this)[count_ - 1]; }
  const T& back() const { return (*this)[count_ - 1]; }

  // Adds `value` as the newest; false, and nothing added, when full.
  bool push_back(const T& value) {
    if (full()) {
      return false;
    }
    items_[at(count_)] = value;
    ++count_;
    return true;
  }
  // Makes room for a newest value and returns it as the slot last held it,
  // for values too large to copy twice; nullptr when full.
  T* grow_back() {
    if (full()) {
      return nullptr;
    }
    ++count_;
    return &back();
  }
  // Removes the oldest; false when empty.
  bool pop_front() {
    if (count_ == 0) {
      return false;
    }
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --count_;
    return true;
  }
  // Removes the newest; false when empty.
  bool pop_back() {
    if (count_ == 0) {
      return false;
    }
    --count_;
    return true;
  }
  // Removes the `count` oldest, or the `count` newest (all, when fewer).
  void drop_front(std::size_t count) {
    count = count < count_ ? count : count_;
    head_ = at(count);
    count_ -= count;
  }
  void drop_back(std::size_t count) { count_ -= count < count_ ? count : count_; }
  void clear() { head_ = count_ = 0; }

 private:
  std::size_t at(std::size_t i) const {
    const std::size_t index = head_ + i;  // both below capacity_, so one wrap is enough
    return index >= capacity_ ? index - capacity_ : index;
  }

  using Storage = std::conditional_t<Capacity == 0, std::unique_ptr<T[]>, std::array<T, Capacity>>;
  Storage items_{};
  std::size_t capacity_ = Capacity;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace rawcan

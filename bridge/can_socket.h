// A CAN_RAW socket bound to one interface, non-blocking, with the kernel's
// count of frames it dropped for want of room in the socket's queue.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <string>
#include <utility>

namespace rawcan::bridge {

class CanSocket {
 public:
  // Opens and binds; on failure returns a socket that is not open, with
  // `error` saying why in words that name the interface.
  static CanSocket open(const char* interface, std::string& error);
  CanSocket(CanSocket&& other) noexcept;
  CanSocket& operator=(CanSocket&&) = delete;
  ~CanSocket();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // 1 with a classic frame, kFdFrame when a CAN FD frame was taken (which
  // the device cannot carry; `frame` is untouched), 0 when none is waiting,
  // -1 with errno (ENETDOWN: the interface is down). Keeps the kernel's drop
  // count up to date.
  static constexpr int kFdFrame = 2;
  int read(can_frame& frame);
  // 1 when the frame went out, 0 when the interface's queue is full for now
  // (EAGAIN, ENOBUFS), -1 with errno.
  int write(const can_frame& frame);
  // Whether the interface is up, by its flags. An interface deleted and made
  // again under the same name is bound anew.
  bool interface_up();
  // Whether the interface was not there at the last interface_up().
  bool gone() const { return gone_; }
  // Frames the kernel dropped before this socket could read them.
  uint64_t kernel_drops();

 private:
  CanSocket(int fd, std::string name, int index = 0)
      : fd_(fd), name_(std::move(name)), index_(index) {}

  int fd_;
  std::string name_;
  int index_;  // the interface's index this socket is bound to
  bool gone_ = false;
  uint32_t last_drop_count_ = 0;
  uint64_t kernel_drops_ = 0;
  bool meminfo_ = false;  // the count comes from SO_MEMINFO, not from the frames read
};

}  // namespace rawcan::bridge

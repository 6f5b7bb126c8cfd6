#include "recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "candump.h"

namespace zelbor::sim {

bool Recorder::open(const std::string& path, int64_t realtime_offset_ns) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  out_ = std::make_unique<rawcan::Output>(fd_);
  realtime_offset_ns_ = realtime_offset_ns;
  return true;
}

Recorder::~Recorder() {
  close();
}

void Recorder::on_bus(int channel, const RawCanMessage& frame, int64_t end_of_frame_ns) {
  if (out_ == nullptr || out_->failed()) {
    return;
  }
  char line[kMaxCandumpLine];
  const int64_t wall_us = (end_of_frame_ns + realtime_offset_ns_) / 1000;
  if (!out_->write(line, format_candump_line(wall_us, channel < 0 ? 0 : channel, frame, line))) {
    error_ = out_->error();
  }
}

void Recorder::flush_if_due(int64_t now_ns) {
  if (out_ == nullptr || now_ns - last_flush_ns_ < kRecordFlushNs) {
    return;
  }
  last_flush_ns_ = now_ns;
  if (!out_->flush()) {
    error_ = out_->error();
  }
}

bool Recorder::close() {
  if (fd_ < 0) {
    return error_ == 0;
  }
  if (!out_->flush()) {
    error_ = out_->error();
  }
  if (::close(fd_) != 0 && error_ == 0) {
    error_ = errno;
  }
  fd_ = -1;
  out_.reset();
  return error_ == 0;
}

}  // namespace zelbor::sim

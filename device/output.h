// Standard output with a buffer of its own, written with the system's write.
//
// stdio keeps what a failed write left unwritten and writes it later, at the
// next flush or at exit, so a disk that fills and frees again splices one line
// into another. Here the first failure ends all writing: what the system took
// stays, nothing follows it, and the error is kept for the caller to report.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rawcan {

class Output {
 public:
  static constexpr std::size_t kCapacity = 64 * 1024;

  // A terminal is written line by line, anything else when the buffer fills
  // or on flush(), as stdio does with standard output.
  explicit Output(int fd);
  // Written through `write_some` instead of the system (tests and the
  // simulation): it returns what it took, or -1 with errno set. Fully buffered.
  using WriteSome = int64_t (*)(void* context, const char* bytes, std::size_t size);
  Output(WriteSome write_some, void* context);
  ~Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Each returns false once writing has failed, by this call or an earlier one.
  bool write(const char* bytes, std::size_t size);
  bool print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool flush();

  bool failed() const { return error_ != 0; }
  int error() const { return error_; }  // the errno of the first failure, 0 if none

 private:
  bool write_through(const char* bytes, std::size_t size);

  int fd_;
  WriteSome write_some_ = nullptr;
  void* context_ = nullptr;
  bool line_buffered_;
  int error_ = 0;
  std::size_t used_ = 0;
  char buffer_[kCapacity];
};

// The process's standard output. Whatever ends the process through exit(),
// also from inside a library call, first writes what is buffered, as stdio
// would.
Output& standard_output();

}  // namespace rawcan

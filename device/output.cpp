#include "output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform.h"

namespace rawcan {

Output::Output(int fd) : fd_(fd), line_buffered_(platform::is_terminal(fd)) {}

Output::Output(WriteSome write_some, void* context)
    : fd_(-1), write_some_(write_some), context_(context), line_buffered_(false) {}

bool Output::write_through(const char* bytes, std::size_t size) {
  while (size > 0 && error_ == 0) {
    const int64_t written = write_some_ != nullptr ? write_some_(context_, bytes, size)
                                                   : platform::write_some(fd_, bytes, size);
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno != EINTR) {
      error_ = errno;
    } else if (written == 0) {
      error_ = EIO;
    }
  }
  return error_ == 0;
}

bool Output::flush() {
  const std::size_t pending = used_;
  used_ = 0;
  return pending == 0 ? error_ == 0 : write_through(buffer_, pending);
}

bool Output::write(const char* bytes, std::size_t size) {
  if (error_ != 0) {
    return false;
  }
  if (size > kCapacity - used_) {
    if (!flush()) {
      return false;
    }
    if (size > kCapacity) {
      return write_through(bytes, size);
    }
  }
  std::memcpy(buffer_ + used_, bytes, size);
  used_ += size;
  if (line_buffered_ && std::memchr(bytes, '\n', size) != nullptr) {
    return flush();
  }
  return true;
}

bool Output::print(const char* format, ...) {
  char text[256];
  std::va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length < 0) {
    return !failed();  // nothing to write
  }
  if (static_cast<std::size_t>(length) < sizeof text) {
    return write(text, static_cast<std::size_t>(length));
  }
  // Longer than the stack buffer (a usage line with a long program path).
  const auto size = static_cast<std::size_t>(length) + 1;
  const std::unique_ptr<char[]> long_text(new char[size]);
  va_start(arguments, format);
  std::vsnprintf(long_text.get(), size, format, arguments);
  va_end(arguments);
  return write(long_text.get(), size - 1);
}

Output& standard_output() {
  static Output out(1);
  // Handlers registered after `out` was made run before it is destroyed.
  static const int registered = std::atexit([] { out.flush(); });
  static_cast<void>(registered);
  return out;
}

}  // namespace rawcan

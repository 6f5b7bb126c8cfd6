// A scratch file that collects what a test writes to a file descriptor or a
// FILE*, for comparing output byte for byte.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace rawcan::testing {

class CapturedOutput {
 public:
  CapturedOutput() : file_(std::tmpfile()) {}
  ~CapturedOutput() { std::fclose(file_); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  std::FILE* file() { return file_; }
  int fd() const { return fileno(file_); }
  // What has reached the file so far, without flushing the FILE*.
  int64_t visible_size() const {
    struct stat status {};
    return fstat(fd(), &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
  }
  std::string text() {
    std::fflush(file_);
    std::string content(static_cast<std::size_t>(visible_size()), '\0');
    // Read from the start, then put the offset back for the writes to come.
    const auto offset = lseek(fd(), 0, SEEK_CUR);
    lseek(fd(), 0, SEEK_SET);
    std::size_t got = 0;
    while (got < content.size()) {
      const auto chunk =
          read(fd(), content.data() + got, static_cast<unsigned>(content.size() - got));
      if (chunk <= 0) {
        break;
      }
      got += static_cast<std::size_t>(chunk);
    }
    lseek(fd(), offset, SEEK_SET);
    content.resize(got);
    return content;
  }

 private:
  std::FILE* file_;
};

}  // namespace rawcan::testing
